#pragma once
// A transport that lives in memory and runs the receive notification on the
// caller's thread, so that a fuzz target can drive the engine's receive path
// without a reader thread and without timing.
//
// Threads: Deliver() plays the reader thread; the engine writes its
// acknowledgements from inside it. Not for use from more than one thread.
#include <string>
#include <utility>
#include <vector>

#include "connect/communication_connection.h"

namespace qorvel::fuzzing {

class TMemoryTransport : public TCommunicationConnection {
 public:
  ~TMemoryTransport() override { CloseForDestruction(); }

  // Makes the bytes readable and raises the receive notification once for
  // them, as a reader thread does after a poll.
  void Deliver(std::string aBytes) {
    input_ += std::move(aBytes);
    if (!input_.empty()) DoRxChar(static_cast<int>(input_.size()));
  }
  // Every write since the last call.
  std::vector<std::string> TakeWritten() { return std::exchange(written_, {}); }

  int InputCount() override { return Active() ? static_cast<int>(input_.size()) : -1; }
  void PurgeInput() override { input_.clear(); }
  void PrepareTransmit() override {}
  int WriteBuffer(const void* aBuffer, int aCount) override {
    written_.emplace_back(static_cast<const char*>(aBuffer), static_cast<std::size_t>(aCount));
    return aCount;
  }
  int ReadBuffer(void* aBuffer, int aCount) override {
    const std::size_t n = std::min(input_.size(), static_cast<std::size_t>(aCount));
    input_.copy(static_cast<char*>(aBuffer), n);
    input_.erase(0, n);
    return static_cast<int>(n);
  }

 protected:
  void DoOpen() override {}
  void DoClose() override {}

 private:
  std::string input_;
  std::vector<std::string> written_;
};

}  // namespace qorvel::fuzzing
