#include "connect/logger.h"

namespace qorvel {

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
