#pragma once
// An event slot that one thread may replace while another fires it. Firing
// takes a copy under the slot's own lock and calls the copy outside it, so a
// handler may itself replace the slot.
#include <functional>
#include <mutex>
#include <utility>

#include "connect/thread_annotations.h"

namespace qorvel {

template <typename Signature>
class TLockedEvent {
 public:
  using Handler = std::function<Signature>;

  TLockedEvent() = default;
  TLockedEvent(const TLockedEvent&) = delete;
  TLockedEvent& operator=(const TLockedEvent&) = delete;

  TLockedEvent& operator=(Handler handler) {
    TLockGuard guard(lock_);
    handler_ = std::move(handler);
    return *this;
  }
  TLockedEvent& operator=(std::nullptr_t) { return *this = Handler(); }

  Handler Get() const {
    TLockGuard guard(lock_);
    return handler_;
  }
  operator Handler() const { return Get(); }
  explicit operator bool() const { return static_cast<bool>(Get()); }

 private:
  mutable TMutex lock_;
  Handler handler_ GUARDED_BY(lock_);
};

}  // namespace qorvel
