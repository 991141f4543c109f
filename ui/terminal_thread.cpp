#include "ui/terminal_thread.h"

#include "connect/main_thread.h"

namespace qorvel {

TTerminalThread::TTerminalThread(std::function<void()> aFlush) : flush_(std::move(aFlush)) {
  thread_ = std::thread([this] { Execute(); });
}

TTerminalThread::~TTerminalThread() {
  Stop();
}

void TTerminalThread::Wake() {
  {
    std::lock_guard<std::mutex> guard(eventLock_);
    signalled_ = true;
  }
  eventChanged_.notify_all();
}

void TTerminalThread::Stop() {
  {
    std::lock_guard<std::mutex> guard(eventLock_);
    terminated_ = true;
    signalled_ = true;
  }
  eventChanged_.notify_all();
  main_thread::JoinThread(thread_, [this] { return finished_.load(); });
}

void TTerminalThread::Execute() {
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(eventLock_);
      eventChanged_.wait(guard, [this] { return signalled_; });
      if (terminated_) break;
      signalled_ = false;
    }
    try {
      main_thread::RunOnMainThread(flush_);
    } catch (...) {
      // A failed redraw loses nothing: the text stays pending for the next.
    }
  }
  finished_ = true;
  main_thread::NotifyWaiters();
}

}  // namespace qorvel
