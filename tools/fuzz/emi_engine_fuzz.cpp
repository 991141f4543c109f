// Drives the engine's receive path (assembly, validation, the SMSC keep-alive
// test, acknowledgement, queueing and hand-over to the application, where the
// received operations are parsed into items) with streams built from the
// input: whole frames of the types an SMSC sends, frames at the length limit,
// and raw bytes, cut into receptions wherever the input says.
//
// Checked for every input: each write is an acknowledgement that passes its
// own validation; nothing stays queued after a dispatch; every received byte
// reaches the application once, but for the oldest of a reception larger than
// the bound on waiting characters. When the stream holds only whole frames,
// exactly the operations in it are acknowledged, in order, each with its own
// TRN and OT.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "connect/main_thread.h"
#include "emi/codec.h"
#include "emi/emi_client.h"
#include "emi/frame.h"
#include "emi/items.h"
#include "tests/test_clocks.h"
#include "tools/fuzz/memory_transport.h"

namespace {

using namespace qorvel;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// The engine's queue throttle drops operations beyond this backlog.
constexpr int kFramesPerReceptionChecked = 40;
constexpr std::size_t kLongFrameInputSize = 8;

class TEngineUnderTest {
 public:
  TEngineUnderTest() {
    main_thread::SetMainThread();
    // Pauses and waits pass at once: the input, not time, drives the engine.
    engine_.SetClock(clock_);
    engine_.SetComDevice(&transport_);
    TParams params;
    params.SetValue("SMT_KEEPALIVE_CMD", "0");  // the open sends nothing
    params.SetValue("SMSC_KEEPALIVE_CMD", "52");
    params.SetValue("SMSC_KEEPALIVE_OA", "#5555");
    params.SetValue("SMSC_KEEPALIVE_DA", "#1234");
    params.SetValue("SMSC_KEEPALIVE_TEXT", "KEEPALIVE");
    engine_.SetParams(params);
    engine_.OnRxChar = [this](TComponent*, char) { ++chars_; };
    engine_.OnRxCommand = [](TComponent*, uint8_t aOT, uint8_t, bool aResult,
                             const std::string& aData) {
      if (aResult) return;
      if (aOT == 52) {
        auto item = ParseDeliveredMessage(aData);
        Require(item->Msg.size() == (FieldAt(aData, 20).size() + 1) / 2);
      } else if (aOT == 53) {
        auto item = ParseDeliveryNotification(aData);
        Require(item->Msg == FieldAt(aData, 20));
      }
    };
    engine_.Open();
  }

  // One reception; returns the frames written in answer.
  std::vector<std::string> Receive(std::string aBytes) {
    const uint64_t size = aBytes.size();
    const uint64_t before = chars_;
    transport_.Deliver(std::move(aBytes));
    engine_.DispatchReceived(true, true);
    // Releases the worker thread if it asked for a dispatch meanwhile.
    main_thread::RunPendingWork();
    Require(engine_.RxQueueCount() == 0);
    // Characters waiting for the application are bounded: of a reception
    // larger than the bound only the newest reach it.
    const uint64_t reported = chars_ - before;
    Require(reported <= size);
    Require(reported >= std::min<uint64_t>(size, TEMIClient::kMaxRxChars));
    return transport_.TakeWritten();
  }

 private:
  testing::TManualClock clock_;
  fuzzing::TMemoryTransport transport_;
  TEMIClient engine_;
  uint64_t chars_ = 0;
};

TEngineUnderTest& Engine() {
  // Destroyed at exit before the main-thread service it was built on, so the
  // worker thread is joined while that service still runs its hand-overs.
  static TEngineUnderTest engine;
  return engine;
}

std::string Printable(std::string_view aBytes) {
  std::string text(aBytes);
  for (char& c : text)
    if (c == STX || c == ETX) c = '.';
  return text;
}

class TInput {
 public:
  explicit TInput(std::string_view aBytes) : rest_(aBytes) {}
  bool Empty() const { return rest_.empty(); }
  uint8_t Byte() {
    if (rest_.empty()) return 0;
    uint8_t b = static_cast<uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  std::string_view Bytes(std::size_t aCount) {
    std::string_view taken = rest_.substr(0, aCount);
    rest_.remove_prefix(taken.size());
    return taken;
  }

 private:
  std::string_view rest_;
};

std::string KeepAliveData() {
  std::vector<std::string> f(33);
  f[0] = "1234";
  f[1] = "5555";
  f[18] = "3";
  f[20] = TextToHex("KEEPALIVE");
  return JoinFields(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  TEngineUnderTest& engine = Engine();
  // An ETX ends whatever partial frame the last input left behind, so that
  // each input starts from a clean stream.
  engine.Receive(std::string(1, ETX));
  TInput input(std::string_view(reinterpret_cast<const char*>(data), size));

  std::string reception;
  std::vector<std::pair<int, int>> operations;  // (OT, TRN) of the whole stream
  std::vector<std::string> acks;
  bool onlyFrames = true;
  int framesInReception = 0;
  int longFrames = 0;
  auto receive = [&] {
    if (framesInReception >= kFramesPerReceptionChecked) onlyFrames = false;
    for (std::string& ack : engine.Receive(std::exchange(reception, {})))
      acks.push_back(std::move(ack));
    framesInReception = 0;
  };
  auto append = [&](int aOT, int aTRN, bool aResult, std::string_view aData) {
    std::optional<std::string> frame = ComposeFrame(aOT, aTRN, aResult, aData);
    if (!frame) return;
    reception += *frame;
    ++framesInReception;
    if (!aResult) operations.emplace_back(aOT, aTRN);
  };

  while (!input.Empty()) {
    const uint8_t c = input.Byte();
    switch (c & 3) {
      case 0:  // raw bytes: anything, partial frames included
        reception += input.Bytes(input.Byte());
        onlyFrames = false;
        break;
      case 2:
        // An operation 52 a few bytes short of the longest: 100 kB through
        // the whole path, too slow to pay for more than the rare short input
        // that starts with it.
        if (c == 0xFE && size <= kLongFrameInputSize && longFrames++ == 0) {
          const std::size_t shortBy = input.Byte() % 8;
          const std::string pattern = Printable(input.Bytes(1 + input.Byte() % 32));
          if (pattern.empty()) break;
          std::string big;
          while (big.size() < kMaxDataLength - shortBy) big += pattern;
          big.resize(kMaxDataLength - shortBy);
          append(52, input.Byte() % 100, false, big);
          break;
        }
        [[fallthrough]];
      case 1: {  // a whole frame
        static constexpr int kTypes[] = {52, 53, 52, 53, 31, 51, 60, -1};
        int ot = kTypes[(c >> 2) & 7];
        if (ot < 0) ot = input.Byte() % 100;
        const int trn = input.Byte() % 100;
        const bool result = (c & 0x80) != 0;
        if (((c >> 5) & 3) == 3 && ot == 52) {
          append(ot, trn, result, KeepAliveData());
        } else {
          append(ot, trn, result, Printable(input.Bytes(input.Byte())));
        }
        break;
      }
      case 3:  // the end of one reception
        receive();
        break;
    }
  }
  receive();

  std::vector<std::pair<int, int>> acknowledged;
  for (const std::string& ack : acks) {
    const char* error = nullptr;
    std::optional<std::string_view> body = ValidateFrame(ack, error);
    Require(body.has_value());
    TDatagram d;
    Require(ParseDatagram(*body, d));
    Require(d.Result && d.Data == "A///");
    acknowledged.emplace_back(d.OT, d.TRN);
  }
  if (onlyFrames) Require(acknowledged == operations);
  return 0;
}
