#include "connect/connection.h"

#include "connect/errors.h"

namespace qorvel {

TConnection::TConnection(TComponent* aOwner) : TComponent(aOwner) {}

TConnection::~TConnection() {
  MarkDestroying();
  active_ = false;
}

void TConnection::SetActive(bool value) {
  if (Loading()) {
    if (value) streamedActive_ = true;
    return;
  }
  if (value == Active()) {
    if (!value && !switching_.load()) DoCancelOpen();
    return;
  }
  // A second close running inside the first would release what the first
  // still uses.
  if (switching_.exchange(true)) return;
  struct TDone {
    std::atomic<bool>& flag;
    ~TDone() { flag = false; }
  } done{switching_};
  if (value) {
    DoBeforeOpen();
    try {
      DoOpen();
    } catch (...) {
      DoClose();
      throw;
    }
    active_ = true;
    DoAfterOpen();
  } else {
    if (!Destroying()) DoBeforeClose();
    DoClose();
    active_ = false;
    if (!Destroying()) DoAfterClose();
  }
}

void TConnection::CheckActive() const {
  if (!Active()) throw EConnectError("Connection is inactive");
}

void TConnection::CheckInactive() const {
  if (Active()) throw EConnectError("Connection is active");
}

void TConnection::DoBeforeOpen() {
  if (BeforeOpen) BeforeOpen(this);
}

void TConnection::DoBeforeClose() {
  if (BeforeClose) BeforeClose(this);
}

void TConnection::DoAfterOpen() {
  if (AfterOpen) AfterOpen(this);
}

void TConnection::DoAfterClose() {
  if (AfterClose) AfterClose(this);
}

void TConnection::Loaded() {
  TComponent::Loaded();
  if (streamedActive_) SetActive(true);
}

void TConnection::CloseForDestruction() noexcept {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
    active_ = false;
  }
}

}  // namespace qorvel
