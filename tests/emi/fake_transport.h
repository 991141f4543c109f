#pragma once
// An in-memory transport for engine tests. What the engine writes is kept
// frame by frame; a test-side peer can answer each write. Bytes that the test
// delivers are reported from a reader thread of the fake's own, as a real
// transport does while the engine is open.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/communication_connection.h"

namespace qorvel::testing {

class TFakeTransport : public TCommunicationConnection {
 public:
  TFakeTransport();
  ~TFakeTransport() override;

  // Called on the writing thread for every write, with the bytes written.
  std::function<void(const std::string&)> OnWrite;

  // Queues bytes as if they had arrived; the reader thread reports them.
  void Deliver(const std::string& bytes);
  std::vector<std::string> Written() const;
  // When each write of Written() happened.
  std::vector<std::chrono::steady_clock::time_point> WriteTimes() const;
  int OpenCount() const { return opens_; }
  int PrepareCount() const { return prepares_; }
  int PurgeCount() const { return purges_; }
  // Called on the main thread at every PrepareTransmit().
  std::function<void()> OnPrepare;
  // Every write writes nothing and returns 0.
  std::atomic<bool> WriteFails{false};
  // Every write raises EConnectError with this text, as a lost socket does.
  std::string WriteRaises;
  // Notifications follow RxCharInThread as a real transport's do: with it
  // false they are handed to the main thread and wait until it runs them.
  bool FollowRxCharInThread = false;

  int InputCount() override;
  void PurgeInput() override;
  void PrepareTransmit() override {
    ++prepares_;
    if (OnPrepare) OnPrepare();
  }
  int WriteBuffer(const void* aBuffer, int aCount) override;
  int ReadBuffer(void* aBuffer, int aCount) override;

 protected:
  void DoOpen() override { ++opens_; }
  void DoClose() override {}

 private:
  void Run();

  mutable std::mutex m_;
  std::condition_variable cv_;
  std::string input_;
  std::vector<std::string> written_;
  std::vector<std::chrono::steady_clock::time_point> writeTimes_;
  bool stop_ = false;
  int opens_ = 0, prepares_ = 0, purges_ = 0;
  std::thread reader_;
};

}  // namespace qorvel::testing
