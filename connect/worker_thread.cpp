#include "connect/worker_thread.h"

#include "connect/main_thread.h"
#include "connect/thread_priority.h"

namespace qorvel {

TWorkerThread::TWorkerThread(std::function<void()> aStep, TOptions aOptions)
    : step_(std::move(aStep)), options_(aOptions) {
  thread_ = std::thread([this] { Execute(); });
}

TWorkerThread::~TWorkerThread() {
  Join();
}

void TWorkerThread::Stop() {
  terminated_ = true;
  stopEvent_.Set();
  wakeEvent_.Set();
}

void TWorkerThread::Join() {
  Stop();
  main_thread::JoinThread(thread_, [this] { return finished_.load(); });
}

void TWorkerThread::Execute() {
  if (options_.LowerPriority) LowerCurrentThreadPriority();
  for (;;) {
    wakeEvent_.Wait(options_.PollMs);
    // Cleared before the flag is read: a Stop() after this line sets the
    // event again, so the next wait cannot miss it.
    wakeEvent_.Reset();
    if (terminated_.load()) break;
    try {
      step_();
    } catch (...) {
    }
    if (options_.RestMs > 0) stopEvent_.Wait(options_.RestMs);
  }
  finished_ = true;
  main_thread::NotifyWaiters();
}

}  // namespace qorvel
