#include "fake_transport.h"

#include <cstring>

#include "connect/errors.h"
#include "connect/main_thread.h"

namespace qorvel::testing {

TFakeTransport::TFakeTransport() : reader_([this] { Run(); }) {}

TFakeTransport::~TFakeTransport() {
  {
    std::lock_guard<std::mutex> g(m_);
    stop_ = true;
  }
  cv_.notify_all();
  reader_.join();
  CloseForDestruction();
}

void TFakeTransport::Deliver(const std::string& bytes) {
  {
    std::lock_guard<std::mutex> g(m_);
    input_ += bytes;
  }
  cv_.notify_all();
}

std::vector<std::string> TFakeTransport::Written() const {
  std::lock_guard<std::mutex> g(m_);
  return written_;
}

std::vector<std::chrono::steady_clock::time_point> TFakeTransport::WriteTimes() const {
  std::lock_guard<std::mutex> g(m_);
  return writeTimes_;
}

int TFakeTransport::InputCount() {
  if (!Active()) return -1;
  std::lock_guard<std::mutex> g(m_);
  return static_cast<int>(input_.size());
}

void TFakeTransport::PurgeInput() {
  ++purges_;
  std::lock_guard<std::mutex> g(m_);
  input_.clear();
}

int TFakeTransport::WriteBuffer(const void* aBuffer, int aCount) {
  std::string bytes(static_cast<const char*>(aBuffer), aCount);
  if (!WriteRaises.empty()) throw EConnectError(WriteRaises);
  {
    std::lock_guard<std::mutex> g(m_);
    if (WriteFails) return 0;
    written_.push_back(bytes);
    writeTimes_.push_back(std::chrono::steady_clock::now());
  }
  if (OnWrite) OnWrite(bytes);
  return aCount;
}

int TFakeTransport::ReadBuffer(void* aBuffer, int aCount) {
  std::lock_guard<std::mutex> g(m_);
  int n = std::min<int>(aCount, static_cast<int>(input_.size()));
  std::memcpy(aBuffer, input_.data(), n);
  input_.erase(0, n);
  return n;
}

void TFakeTransport::Run() {
  std::unique_lock<std::mutex> g(m_);
  for (;;) {
    cv_.wait_for(g, std::chrono::milliseconds(100), [&] { return stop_ || !input_.empty(); });
    if (stop_) return;
    if (input_.empty()) continue;
    if (!Active()) {
      cv_.wait_for(g, std::chrono::milliseconds(10));
      continue;
    }
    int count = static_cast<int>(input_.size());
    g.unlock();
    if (FollowRxCharInThread && !RxCharInThread.load()) {
      main_thread::RunOnMainThread([this, count] { DoRxChar(count); });
    } else {
      DoRxChar(count);
    }
    g.lock();
  }
}

}  // namespace qorvel::testing
