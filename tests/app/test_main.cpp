// The supervisor's timer and the log views need a QApplication and the
// main-thread hand-over wired to its event loop, on the thread that runs the
// tests. No screen: the offscreen platform unless one is chosen.
#include <gtest/gtest.h>

#include <QApplication>

#include "ui/qt_main_thread.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  qorvel::ConnectMainThreadToEventLoop();
  return RUN_ALL_TESTS();
}
