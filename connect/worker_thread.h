#pragma once
// A background thread that sleeps until it is woken (or, with a poll period,
// until the period has passed), runs one step, and sleeps again, until it is
// stopped. The step may hand work to the main thread and wait for it
// (main_thread::RunOnMainThread); stopping therefore joins while serving the
// main thread, so a step that waits there can always finish.
//
// The wake event is cleared before the stop flag is read: a Stop() that lands
// at any moment is seen at the latest after the step under way.
//
// Threads: construction, Join() and destruction on the main thread (or any
// thread other than the worker); Wake() and Stop() from any thread, also after
// the thread has ended.
#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "connect/manual_event.h"

namespace qorvel {

class TWorkerThread {
 public:
  struct TOptions {
    // Runs the step also after this many milliseconds without a wake-up;
    // negative: only on a wake-up.
    int PollMs = -1;
    // One nice step below normal, so that the main thread wins on a busy machine.
    bool LowerPriority = false;
    // After each step, rests this many milliseconds before the next, so that
    // a stream of wake-ups costs one step a rest; a stop ends the rest at once.
    int RestMs = 0;
  };

  // Starts the thread. An exception thrown by `aStep` is dropped; the thread
  // goes on with the next wake-up.
  TWorkerThread(std::function<void()> aStep, TOptions aOptions);
  explicit TWorkerThread(std::function<void()> aStep)
      : TWorkerThread(std::move(aStep), TOptions()) {}
  // Stops and joins.
  ~TWorkerThread();
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;

  // Several wake-ups before the step runs count as one; a wake-up during a
  // step makes one more step.
  void Wake() { wakeEvent_.Set(); }
  // Asks the thread to end after the step under way; returns at once.
  void Stop();
  // Stop(), then waits until the thread has ended, running hand-over work
  // meanwhile when called on the main thread. Repeatable.
  void Join();
  bool Terminated() const { return terminated_.load(); }

 private:
  void Execute();

  const std::function<void()> step_;
  const TOptions options_;
  TManualEvent wakeEvent_;
  TManualEvent stopEvent_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace qorvel
