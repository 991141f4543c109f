// The supervisor's timer and the hand-over of received operations need the
// main thread's event loop; the tests spin it while they wait.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "connect/main_thread.h"
#include "app/qt_main_thread.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qorvel::main_thread::SetMainThread();
  qorvel::ConnectMainThreadToEventLoop();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
