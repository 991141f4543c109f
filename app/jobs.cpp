#include "app/jobs.h"

namespace qorvel {

int32_t TJobRequester::ResultCode() const {
  std::lock_guard<std::mutex> g(lock_);
  return resultCode_;
}

std::string TJobRequester::ResultText() const {
  std::lock_guard<std::mutex> g(lock_);
  return resultText_;
}

TDateTime TJobRequester::ResultSCTS() const {
  std::lock_guard<std::mutex> g(lock_);
  return resultSCTS_;
}

void TJobRequester::SetOnComplete(std::function<void(const TJobRequester&)> aCallback) {
  std::lock_guard<std::mutex> g(lock_);
  onComplete_ = std::move(aCallback);
}

void TJobRequester::Complete(int32_t aCode, std::string aText, TDateTime aSCTS) {
  std::function<void(const TJobRequester&)> onComplete;
  {
    std::lock_guard<std::mutex> g(lock_);
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
