#include "app/jobs.h"

namespace qorvel {

int32_t TJobRequester::ResultCode() const {
  TLockGuard g(lock_);
  return resultCode_;
}

std::string TJobRequester::ResultText() const {
  TLockGuard g(lock_);
  return resultText_;
}

TDateTime TJobRequester::ResultSCTS() const {
  TLockGuard g(lock_);
  return resultSCTS_;
}

void TJobRequester::SetOnComplete(std::function<void(const TJobRequester&)> aCallback) {
  TLockGuard g(lock_);
  onComplete_ = std::move(aCallback);
}

void TJobRequester::Complete(int32_t aCode, std::string aText, TDateTime aSCTS) {
  std::function<void(const TJobRequester&)> onComplete;
  {
    TLockGuard g(lock_);
    if (completed_) return;
    completed_ = true;
    resultCode_ = aCode;
    resultText_ = std::move(aText);
    resultSCTS_ = aSCTS;
    onComplete.swap(onComplete_);
  }
  CompletionEvent.Set();
  if (onComplete) onComplete(*this);
}

}  // namespace qorvel
