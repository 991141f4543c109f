#pragma once
// The companion thread of a terminal log view: it sleeps until text is added,
// then has the main thread run the view's flush and waits for it. Additions
// made while a flush runs signal the event again and cause one more flush;
// any number of additions between two flushes are shown by one.
//
// Created and destroyed on the main thread. Wake() may be called from any
// thread, also after Stop(). Stop() (and the destructor) end the thread and
// join it, running the hand-over work pending meanwhile, so no flush is left
// queued for a view that is gone.
#include <atomic>
#include <functional>
#include <thread>

#include "connect/manual_event.h"

namespace qorvel {

class TTerminalThread {
 public:
  // `aFlush` runs on the main thread; an exception it throws is dropped.
  explicit TTerminalThread(std::function<void()> aFlush);
  ~TTerminalThread();
  TTerminalThread(const TTerminalThread&) = delete;
  TTerminalThread& operator=(const TTerminalThread&) = delete;

  // Signals the wake event.
  void Wake();
  void Stop();

 private:
  void Execute();

  std::function<void()> flush_;
  TManualEvent wakeEvent_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace qorvel
