#pragma once
// A log view that forwards to another one which may come and go. The logger
// writes from the transport's reader thread while the main thread sets or
// unsets the window's pane, so the target is swapped under a lock of its own
// instead of changing the logger's view under its feet.
//
// Any thread. The target must stay alive until it has been unset.
#include <mutex>
#include <string_view>

#include "connect/log_view.h"
#include "connect/thread_annotations.h"

namespace qorvel {

class TLogViewLink : public ILogView {
 public:
  void SetTarget(ILogView* aTarget) EXCLUDES(lock_) {
    TLockGuard g(lock_);
    target_ = aTarget;
  }
  void AddChars(std::string_view aText) override EXCLUDES(lock_) {
    TLockGuard g(lock_);
    if (target_) target_->AddChars(aText);
  }
  void AddLine(std::string_view aLine) override EXCLUDES(lock_) {
    TLockGuard g(lock_);
    if (target_) target_->AddLine(aLine);
  }

 private:
  TMutex lock_;
  ILogView* target_ GUARDED_BY(lock_) = nullptr;
};

}  // namespace qorvel
