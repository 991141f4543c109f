#pragma once
// The time, the fixed pauses and the timers of the engine and the supervisor,
// behind one seam. The program runs on the system's monotonic clock, whose
// timers run on the main thread through the hand-over (connect/main_thread.h:
// an event loop, or WaitOnMainThread); tests hand in a manual clock that they
// advance themselves, so that nothing waits out real time.
#include <cstdint>
#include <functional>

#include "connect/manual_event.h"
#include "connect/timer_queue.h"

namespace qorvel {

class IClock {
 public:
  virtual ~IClock() = default;
  // The current time. Any thread.
  virtual TMillis Now() const = 0;
  // Holds the calling thread for a fixed pause of aMilliseconds. Any thread.
  virtual void Sleep(int aMilliseconds) = 0;
  // Holds the calling thread until aEvent is set or aMilliseconds have
  // passed; true when the event was set. Any thread.
  virtual bool WaitFor(TManualEvent& aEvent, int aMilliseconds) = 0;
  // Runs aWork on the main thread once aDelay milliseconds have passed;
  // timers due at the same time run in the order they were posted. Any
  // thread. aWork must not throw: there is nobody to hear it.
  virtual TTimerId Post(int aDelay, std::function<void()> aWork) = 0;
  // The timer will not run, unless it has begun already. Any thread; an id
  // that has run or was cancelled is ignored.
  virtual void Cancel(TTimerId aTimer) = 0;
  // Main thread: runs hand-over work and this clock's timers until aDone
  // holds; the blocking forms of requests wait so.
  virtual void RunUntil(const std::function<bool()>& aDone) = 0;
};

// The system's monotonic clock. Lives as long as the process.
IClock& SystemClock();

// A moment aMilliseconds ahead of aClock's present (a time too far to reach
// never comes), and how far off it is. The clock must outlive the deadline.
class TDeadline {
 public:
  TDeadline(const IClock& aClock, TMillis aMilliseconds);
  // Never negative; at most what fits an int.
  int Left() const;
  bool Passed() const { return Left() == 0; }

 private:
  const IClock& clock_;
  TMillis at_;
};

}  // namespace qorvel
