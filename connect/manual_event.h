#pragma once
// A manual-reset event: once set it stays set, releasing every waiter, until
// reset. Any thread may use it.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qorvel {

class TManualEvent {
 public:
  void Set() {
    {
      std::lock_guard<std::mutex> g(m_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> g(m_);
    set_ = false;
  }
  bool IsSet() const {
    std::lock_guard<std::mutex> g(m_);
    return set_;
  }
  // True when the event was set within `ms` milliseconds (a negative value waits without limit).
  bool Wait(int ms) {
    std::unique_lock<std::mutex> g(m_);
    if (ms < 0) {
      cv_.wait(g, [&] { return set_; });
      return true;
    }
    return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return set_; });
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace qorvel
