#pragma once
// Ends the event loop with code 0 on SIGTERM, SIGINT and SIGHUP, so that the
// program winds down as when its window closes: the session bus sends an
// activated program SIGTERM at logout, a terminal sends SIGINT or SIGHUP.
// Dying of the signal would skip the orderly shutdown: waiting automation
// callers would see a dropped connection instead of an answer, and neither
// the engine nor the traffic log would be closed by the program.
//
// The handlers only write the signal's number to a pipe (all a handler may
// safely do); the pipe's notifier then ends the loop on the main thread. A
// pipe rather than signalfd: signalfd needs the signals blocked in every
// thread, which only holds when they are blocked before the first thread
// starts, and the platform plugin, the bus and the engine start threads of
// their own; children would inherit the blocked mask too. A handler works
// whichever thread the signal lands on.
//
// A signal that was ignored when the object was made stays ignored: whoever
// started the program (nohup, a shell's background job) asked for that.
//
// One object at a time, made and destroyed on the thread that runs the event
// loop after the QCoreApplication exists and before it goes. The destructor
// puts the previous handlers back and closes the pipe.
#include <signal.h>

#include <QObject>
#include <QSocketNotifier>
#include <array>

namespace qorvel {

class TQuitOnSignal : public QObject {
  Q_OBJECT

 public:
  // Raises std::system_error when the pipe or a handler cannot be set up, and
  // std::logic_error while another object exists.
  explicit TQuitOnSignal(QObject* aParent = nullptr);
  ~TQuitOnSignal() override;
  TQuitOnSignal(const TQuitOnSignal&) = delete;
  TQuitOnSignal& operator=(const TQuitOnSignal&) = delete;

  // The signals handled, in the order their handlers are installed.
  static constexpr std::array<int, 3> kSignals{SIGTERM, SIGINT, SIGHUP};

 signals:
  // A handled signal arrived; the loop is told to end right after.
  void Caught(int aSignal);

 private:
  // Puts the previous handlers back and closes the pipe.
  void Release();
  void Drain();

  int readFd_ = -1;
  int writeFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  struct sigaction previous_[kSignals.size()] = {};
  bool installed_[kSignals.size()] = {};
};

}  // namespace qorvel
