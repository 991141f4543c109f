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
  wakeEvent_.Set();
}

void TTerminalThread::Stop() {
  terminated_ = true;
  wakeEvent_.Set();
  main_thread::JoinThread(thread_, [this] { return finished_.load(); });
}

void TTerminalThread::Execute() {
  for (;;) {
    wakeEvent_.Wait(-1);
    if (terminated_) break;
    // Cleared before the flush, so text added while it runs asks for one more.
    wakeEvent_.Reset();
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
