#include "connect/main_thread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <optional>
#include <mutex>

#include "connect/application.h"

namespace qorvel::main_thread {

namespace {

struct Job {
  const std::function<void()>* work;
  std::exception_ptr failure;
  bool done = false;
};

struct State {
  std::mutex lock;
  // Signalled when work is queued or a waiter should re-check (main side).
  std::condition_variable wakeMain;
  // Signalled when a job has run (handing side).
  std::condition_variable jobDone;
  std::deque<Job*> pending;
  TTimerQueue delayed;
  std::function<void()> wakeUp;
  unsigned long long generation = 0;
  std::atomic<std::thread::id> mainId{};
};

State& state() {
  static State s;
  return s;
}

// Work handed over before there is a main thread would wait forever or run
// on a thread that is not the GUI's; neither may pass unnoticed, and an
// exception could be swallowed by the handing thread.
[[noreturn]] void NoMainThread() {
  std::fputs("qorvel: work was handed to the main thread before SetMainThread()\n", stderr);
  std::abort();
}

// Runs the delayed work that was due when it was called; work that it posts
// meanwhile waits for the next round, so that a zero delay cannot starve the
// loop.
int RunDueWork() {
  State& s = state();
  const TMillis now = Now();
  TTimerId upTo;
  {
    std::lock_guard guard(s.lock);
    upTo = s.delayed.LastId();
  }
  int ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard guard(s.lock);
      work = s.delayed.TakeDue(now, upTo);
    }
    if (!work) return ran;
    ++ran;
    try {
      work();
    } catch (const std::exception& e) {
      ShowException(e);
    } catch (...) {
    }
  }
}

void WakeEventLoop() {
  State& s = state();
  std::function<void()> wakeUp;
  {
    std::lock_guard guard(s.lock);
    wakeUp = s.wakeUp;
  }
  s.wakeMain.notify_all();
  if (wakeUp) wakeUp();
}

}  // namespace

TMillis Now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TTimerId PostDelayed(int delay, std::function<void()> work) {
  State& s = state();
  TTimerId id;
  {
    std::lock_guard guard(s.lock);
    id = s.delayed.Add(Now() + std::max(delay, 0), std::move(work));
  }
  // The event loop re-arms its timer for what is now the earliest.
  WakeEventLoop();
  return id;
}

void CancelDelayed(TTimerId id) {
  State& s = state();
  std::lock_guard guard(s.lock);
  s.delayed.Cancel(id);
}

void DropDelayed() {
  State& s = state();
  std::vector<std::function<void()>> dropped;
  {
    std::lock_guard guard(s.lock);
    dropped = s.delayed.TakeAll();
  }
  // Destroyed here, without the lock: a capture's destructor may post.
}

int MillisecondsToNextDue() {
  State& s = state();
  std::optional<TMillis> due;
  {
    std::lock_guard guard(s.lock);
    due = s.delayed.NextDue();
  }
  if (!due) return -1;
  return static_cast<int>(std::clamp<TMillis>(*due - Now(), 0, 24 * 3600 * 1000));
}

void SetMainThread() {
  state().mainId.store(std::this_thread::get_id());
}

void ClearMainThread() {
  state().mainId.store(std::thread::id());
}

bool IsMainThread() {
  const std::thread::id id = state().mainId.load();
  return id != std::thread::id() && id == std::this_thread::get_id();
}

void SetWakeUp(std::function<void()> wakeUp) {
  State& s = state();
  std::lock_guard guard(s.lock);
  s.wakeUp = std::move(wakeUp);
}

void RunOnMainThread(const std::function<void()>& work) {
  if (state().mainId.load() == std::thread::id()) NoMainThread();
  if (IsMainThread()) {
    work();
    return;
  }
  State& s = state();
  Job job{&work, nullptr, false};
  std::function<void()> wakeUp;
  {
    std::lock_guard guard(s.lock);
    s.pending.push_back(&job);
    wakeUp = s.wakeUp;
  }
  s.wakeMain.notify_all();
  // The event loop's own scheduling may take locks of its own; never call it
  // with ours held.
  if (wakeUp) wakeUp();
  {
    std::unique_lock guard(s.lock);
    s.jobDone.wait(guard, [&] { return job.done; });
  }
  if (job.failure) std::rethrow_exception(job.failure);
}

int RunPendingWork() {
  if (!IsMainThread()) return 0;
  State& s = state();
  std::deque<Job*> batch;
  {
    std::lock_guard guard(s.lock);
    batch.swap(s.pending);
  }
  for (Job* job : batch) {
    std::exception_ptr failure;
    try {
      (*job->work)();
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::lock_guard guard(s.lock);
      job->failure = failure;
      job->done = true;
    }
    s.jobDone.notify_all();
  }
  return static_cast<int>(batch.size()) + RunDueWork();
}

int PendingCount() {
  State& s = state();
  std::lock_guard guard(s.lock);
  return static_cast<int>(s.pending.size());
}

bool WaitOnMainThread(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  State& s = state();
  const bool forever = timeout == std::chrono::milliseconds::max();
  const Clock::time_point deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
  // A condition that nobody announces through NotifyWaiters() is still seen
  // within this slice.
  constexpr auto kSlice = std::chrono::milliseconds(10);
  for (;;) {
    unsigned long long seen;
    {
      std::lock_guard guard(s.lock);
      seen = s.generation;
    }
    RunPendingWork();
    if (done()) return true;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock guard(s.lock);
    Clock::time_point until = std::min(deadline, now + kSlice);
    // Now() counts the same clock's milliseconds since its epoch.
    if (const auto due = s.delayed.NextDue())
      until = std::min(until, Clock::time_point(std::chrono::milliseconds(*due)));
    s.wakeMain.wait_until(guard, until, [&] { return !s.pending.empty() || s.generation != seen; });
  }
}

void NotifyWaiters() {
  State& s = state();
  {
    std::lock_guard guard(s.lock);
    ++s.generation;
  }
  s.wakeMain.notify_all();
}

void JoinThread(std::thread& thread, const std::function<bool()>& finished) {
  if (!thread.joinable()) return;
  if (IsMainThread()) WaitOnMainThread(finished);
  thread.join();
}

}  // namespace qorvel::main_thread
