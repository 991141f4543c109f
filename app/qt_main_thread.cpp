#include "app/qt_main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include "connect/main_thread.h"

namespace qorvel {

namespace {

// One single-shot timer stands for the earliest delayed work; it is armed
// afresh after every round, so the loop sleeps until exactly then.
QPointer<QTimer>& DueTimer() {
  static QPointer<QTimer> timer;
  return timer;
}

void RunAndRearm() {
  main_thread::RunPendingWork();
  QTimer* timer = DueTimer();
  if (timer == nullptr) return;
  const int next = main_thread::MillisecondsToNextDue();
  if (next < 0)
    timer->stop();
  else
    timer->start(next);
}

}  // namespace

void ConnectMainThreadToEventLoop() {
  main_thread::SetMainThread();
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && DueTimer() == nullptr) {
    auto* timer = new QTimer(app);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, app, [] { RunAndRearm(); });
    DueTimer() = timer;
  }
  main_thread::SetWakeUp([] {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(app, [] { RunAndRearm(); }, Qt::QueuedConnection);
  });
}

}  // namespace qorvel
