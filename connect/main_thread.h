#pragma once
// Hands a piece of work to the main thread and waits until it has run there.
//
// The main thread is the thread that called SetMainThread(); until one has,
// no thread is, and handing work over ends the program with a message (a
// programming error: the program entry names its GUI thread first). An event
// loop drains pending work by
// calling RunPendingWork() whenever it is woken through the wake-up callback.
// A thread that the main thread waits for may itself be waiting in
// RunOnMainThread(); the main thread therefore waits for other threads only
// through WaitOnMainThread(), which keeps running pending work while it waits.
// Never hold a lock while calling RunOnMainThread().
//
// Delayed work (PostDelayed) runs on the same path once it falls due, on the
// system's monotonic clock: the event loop arms a timer for
// MillisecondsToNextDue() whenever it is woken, and WaitOnMainThread() runs
// what falls due while it waits.
#include <chrono>
#include <functional>
#include <thread>

#include "connect/timer_queue.h"

namespace qorvel {

namespace main_thread {

// Makes the calling thread the main thread.
void SetMainThread();
// Forgets the main thread, for a program whose event loop has ended.
void ClearMainThread();
// False on every thread while no main thread is set.
bool IsMainThread();

// Called (from any thread) each time work is queued, so that an event loop can
// schedule RunPendingWork() on the main thread. May be empty.
void SetWakeUp(std::function<void()> wakeUp);

// Runs `work` on the main thread and returns once it has run there; runs it at
// once when called on the main thread. Aborts when no main thread is set. An exception thrown by
// `work` is rethrown in the caller's thread.
void RunOnMainThread(const std::function<void()>& work);

// Runs every piece of work pending now, delayed work that is due among it.
// Main thread only. Returns the count.
int RunPendingWork();

// The system's monotonic clock in milliseconds. Any thread.
TMillis Now();
// Runs `work` on the main thread once `delay` milliseconds have passed. Any
// thread. An exception from `work` goes to ShowException.
TTimerId PostDelayed(int delay, std::function<void()> work);
// The delayed work will not run, unless it has begun. Any thread.
void CancelDelayed(TTimerId id);
// Drops every piece of delayed work not yet begun, for a program whose event
// loop has ended: what it holds must go while the objects it refers to (the
// application, the bus) still live, not at the program's very end. Any thread.
void DropDelayed();
// Milliseconds until the next delayed work falls due (0 when overdue), or -1
// when there is none. Any thread.
int MillisecondsToNextDue();
// How many pieces of work wait for the main thread now, from any thread. Lets
// a caller see that a hand-over has been made without running it.
int PendingCount();

// Main thread: waits until `done()` holds, running hand-over work meanwhile.
// Returns false when `timeout` ran out first.
bool WaitOnMainThread(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

// Wakes a WaitOnMainThread() so that it re-checks its condition at once. A
// thread that the main thread may be waiting for calls it as its last step.
void NotifyWaiters();

// Joins `thread` (if joinable). On the main thread it first waits through
// WaitOnMainThread() until `finished()` holds, so that the thread can still
// hand work over while it winds down; the thread makes `finished()` true and
// calls NotifyWaiters() as its last steps. Must not be called on `thread`.
void JoinThread(std::thread& thread, const std::function<bool()>& finished);

}  // namespace main_thread

}  // namespace qorvel
