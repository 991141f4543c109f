#pragma once
// The companion thread of a terminal log view: it sleeps until text is added,
// then has the main thread run the view's flush and waits for it. Additions
// made while a flush runs signal the event again and cause one more flush;
// any number of additions between two flushes are shown by one, and flushes
// come at most 25 times a second.
//
// Created and destroyed on the main thread. Wake() may be called from any
// thread, also after Stop(). Stop() (and the destructor) end the thread and
// join it, running the hand-over work pending meanwhile, so no flush is left
// queued for a view that is gone.
#include <functional>

#include "connect/worker_thread.h"

namespace qorvel {

class TTerminalThread {
 public:
  // `aFlush` runs on the main thread; an exception it throws is dropped.
  explicit TTerminalThread(std::function<void()> aFlush);

  void Wake() { worker_.Wake(); }
  void Stop() { worker_.Join(); }

 private:
  // A failed redraw loses nothing: the text stays pending for the next.
  TWorkerThread worker_;
};

}  // namespace qorvel
