#pragma once
// Clocks for tests. TManualClock moves only when told: Advance() on the main
// thread, or a pause or wait of the code under test, which it records and
// takes at once instead of sitting it out; timers run on the main thread as
// the time passes their due time. TSkippingClock runs in real time, so that a
// peer on another thread can answer a wait, but takes fixed pauses at once
// and can be skipped ahead.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <mutex>
#include <vector>

#include "connect/clock.h"
#include "connect/main_thread.h"

namespace qorvel::testing {

// The fixed pauses (Sleep) and the waits (WaitFor) that code took, in
// milliseconds, each in order. Any thread.
class TPauseLog {
 public:
  std::vector<int> Sleeps() const {
    std::lock_guard<std::mutex> g(m_);
    return sleeps_;
  }
  std::vector<int> Waits() const {
    std::lock_guard<std::mutex> g(m_);
    return waits_;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_);
    sleeps_.clear();
    waits_.clear();
  }

 protected:
  void Record(bool aWait, int aMilliseconds) {
    std::lock_guard<std::mutex> g(m_);
    (aWait ? waits_ : sleeps_).push_back(aMilliseconds);
  }

 private:
  mutable std::mutex m_;
  std::vector<int> sleeps_, waits_;
};

class TManualClock final : public IClock, public TPauseLog {
 public:
  TMillis Now() const override { return now_.load(); }
  void Sleep(int aMilliseconds) override {
    Record(false, aMilliseconds);
    Pass(aMilliseconds);
  }
  // An event already set ends the wait at once; otherwise the whole wait
  // passes.
  bool WaitFor(TManualEvent& aEvent, int aMilliseconds) override {
    if (aEvent.IsSet()) return true;
    Record(true, aMilliseconds);
    Pass(aMilliseconds);
    return aEvent.IsSet();
  }
  TTimerId Post(int aDelay, std::function<void()> aWork) override {
    std::lock_guard<std::mutex> g(timersLock_);
    return timers_.Add(now_.load() + (aDelay > 0 ? aDelay : 0), std::move(aWork));
  }
  void Cancel(TTimerId aTimer) override {
    std::lock_guard<std::mutex> g(timersLock_);
    timers_.Cancel(aTimer);
  }

  // Runs hand-over work; whenever none is pending, moves the time on to the
  // next timer. Only for code whose peer answers at once or never: an answer
  // still on its way from another thread loses the race against the jump.
  void RunUntil(const std::function<bool()>& aDone) override {
    while (!aDone()) {
      main_thread::WaitOnMainThread(aDone, std::chrono::milliseconds(5));
      if (aDone()) return;
      std::optional<TMillis> due;
      {
        std::lock_guard<std::mutex> g(timersLock_);
        due = timers_.NextDue();
      }
      if (due) Advance(static_cast<int>(std::max<TMillis>(*due - now_.load(), 0)));
    }
  }

  // Moves the time on by aMilliseconds, running each timer at its due time.
  // Main thread.
  void Advance(int aMilliseconds) {
    const TMillis until = now_.load() + aMilliseconds;
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard<std::mutex> g(timersLock_);
        const auto due = timers_.NextDue();
        if (!due || *due > until) break;
        if (*due > now_.load()) now_ = *due;
        work = timers_.TakeDue(now_.load());
      }
      work();
    }
    if (now_.load() < until) now_ = until;
  }

 private:
  // Off the main thread the time moves but no timer runs: timers belong to
  // the main thread.
  void Pass(int aMilliseconds) {
    if (main_thread::IsMainThread())
      Advance(aMilliseconds);
    else
      now_ += aMilliseconds;
  }

  // Far from zero, so that "never" (0) is never taken for the present.
  std::atomic<TMillis> now_{1'000'000};
  std::mutex timersLock_;
  TTimerQueue timers_;
};

class TSkippingClock final : public IClock, public TPauseLog {
 public:
  TMillis Now() const override { return SystemClock().Now() + skipped_.load(); }
  // Taken at once: the clock moves on instead.
  void Sleep(int aMilliseconds) override {
    Record(false, aMilliseconds);
    skipped_ += aMilliseconds;
  }
  // Real: the event may come from another thread.
  bool WaitFor(TManualEvent& aEvent, int aMilliseconds) override {
    Record(true, aMilliseconds);
    return SystemClock().WaitFor(aEvent, aMilliseconds);
  }
  // Timers are not skipped: they run through the system clock's hand-over.
  TTimerId Post(int aDelay, std::function<void()> aWork) override {
    return SystemClock().Post(aDelay, std::move(aWork));
  }
  void Cancel(TTimerId aTimer) override { SystemClock().Cancel(aTimer); }
  void RunUntil(const std::function<bool()>& aDone) override { SystemClock().RunUntil(aDone); }

  // Jumps aMilliseconds ahead, as if they had passed.
  void Skip(int aMilliseconds) { skipped_ += aMilliseconds; }

 private:
  std::atomic<TMillis> skipped_{0};
};

}  // namespace qorvel::testing
