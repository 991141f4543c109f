#include "ui/qt_main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "connect/main_thread.h"

namespace qorvel {

void ConnectMainThreadToEventLoop() {
  main_thread::SetMainThread();
  main_thread::SetWakeUp([] {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app, [] { main_thread::RunPendingWork(); }, Qt::QueuedConnection);
  });
}

}  // namespace qorvel
