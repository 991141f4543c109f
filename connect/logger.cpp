#include "connect/logger.h"

namespace qorvel {

namespace {

class SCOPED_CAPABILITY TRecursiveGuard {
 public:
  explicit TRecursiveGuard(TRecursiveMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~TRecursiveGuard() RELEASE() { m_.unlock(); }
  TRecursiveGuard(const TRecursiveGuard&) = delete;
  TRecursiveGuard& operator=(const TRecursiveGuard&) = delete;

 private:
  TRecursiveMutex& m_;
};

}  // namespace

TLogger::TLogger(TComponent* aOwner) : TConnection(aOwner) {}

void TLogger::SetAutoOpen(bool value) {
  CheckInactive();
  autoOpen_ = value;
}

void TLogger::WriteLog(const std::string& aLogName, std::uint8_t aChannel,
                       const std::string& aText) {
  if (!Active() && !AutoOpen()) return;
  bool accept = true;
  if (AcceptChannel) AcceptChannel(this, aLogName, aChannel, accept);
  if (!accept) return;

  TRecursiveGuard guard(lock_);
  const bool wasActive = Active();
  try {
    Open();
    std::string result;
    FormatText(aLogName, aChannel, aText, result);
    WriteText(result);
  } catch (...) {
    // The text's own failure is the one the caller must see.
    try {
      SetActive(wasActive);
    } catch (...) {
    }
    throw;
  }
  SetActive(wasActive);
}

}  // namespace qorvel
