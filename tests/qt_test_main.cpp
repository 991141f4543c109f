// The window, its log views and the supervisor's timer need a QApplication
// and the main-thread hand-over wired to its event loop, both on the thread
// that runs the tests. The tests never need a screen: without a chosen
// platform they use the offscreen one, also when the build lists them.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/qt_main_thread.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  qorvel::ConnectMainThreadToEventLoop();
  return RUN_ALL_TESTS();
}
