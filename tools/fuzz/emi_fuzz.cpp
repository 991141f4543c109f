// Feeds arbitrary bytes to the frame assembler in arbitrary chunks, and
// arbitrary texts to the field codecs, checking the invariants that must hold
// for every input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"
#include "emi/text.h"

namespace {

using namespace qorvel;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

class CheckingSink : public TFrameAssembler::Sink {
 public:
  std::vector<std::string> events;
  bool pendingFrame = false;
  std::string lastFrame;

  void OnFrame(std::string_view frame) override {
    Require(!pendingFrame);
    Require(frame.size() >= 2 && frame.size() <= kMaxFrameLength);
    Require(frame.front() == STX && frame.back() == ETX);
    Require(frame.substr(0, frame.size() - 1).find(ETX) == std::string_view::npos);
    pendingFrame = true;
    lastFrame = frame;
    events.push_back("F" + lastFrame);
  }
  void OnBadFrame(std::string_view message) override {
    Require(message == kBadFormat || message == kBadLength || message == kBadChecksum);
    pendingFrame = false;
    events.push_back("B" + std::string(message));
  }
  void OnDatagram(std::string_view body) override {
    Require(pendingFrame);
    pendingFrame = false;
    Require(body.size() >= kMinDatagramLength - 2);
    // The body is the frame without STX, checksum and ETX.
    Require(body == lastFrame.substr(1, lastFrame.size() - 4));
    TDatagram datagram;
    if (ParseDatagram(body, datagram))
      Require(body.substr(body.size() - datagram.Data.size()) == datagram.Data);
    events.push_back("D" + std::string(body));
  }
};

void FuzzAssembler(std::string_view input) {
  if (input.empty()) return;
  // The first byte seeds the chunk sizes; the result must not depend on them.
  uint32_t seed = static_cast<uint8_t>(input[0]) * 2654435761u + 1;
  std::string_view stream = input.substr(1);
  TFrameAssembler whole, chunked;
  CheckingSink wholeSink, chunkedSink;
  whole.Feed(stream, wholeSink);
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    std::size_t n = 1 + (seed >> 16) % 64;
    chunked.Feed(stream.substr(at, n), chunkedSink);
    at += n;
  }
  Require(wholeSink.events == chunkedSink.events);
  Require(whole.Pending() == chunked.Pending());
  Require(whole.Pending() < kMaxFrameLength);
  // Every frame got its verdict.
  Require(!wholeSink.pendingFrame && !chunkedSink.pendingFrame);
}

void FuzzCodecs(std::string_view text) {
  Require(HexToText(TextToHex(text)) == text);
  std::string hex = TextToHex(text);
  Require(hex.size() == 2 * text.size());
  Require(HexToText(text).size() == (text.size() + 1) / 2);
  Require(AsciiLower(AsciiUpper(text)) == AsciiLower(text));
  Require(ReverseText(ReverseText(text)) == std::string(text));
  Require(TrimBlanks(text) == TrimLeadingBlanks(TrimTrailingBlanks(text)));

  int count = FieldCount(text);
  std::vector<std::string> fields;
  for (int i = 0; i < count; ++i) fields.push_back(FieldAt(text, i));
  Require(JoinFields(fields) == text);
  Require(FieldAt(text, count).empty());

  int32_t strict = 0;
  if (TryReadInteger(text, strict)) Require(ReadInteger(text) == strict);
  uint32_t value = static_cast<uint32_t>(ReadInteger(text));
  Require(static_cast<uint32_t>(ReadInteger(IntToHexDigits(value))) == value);

  TDateTime stamp = StampToDateTime(text);
  Require(stamp >= 0);
  if (stamp >= 1) Require(StampToDateTime(DateTimeToStamp(stamp)) <= stamp);
  (void)FromSmscAddress(text);

  const char* error = nullptr;
  if (auto body = ValidateFrame(text, error)) {
    Require(error == nullptr);
    Require(Checksum(*body) ==
            static_cast<uint8_t>(ReadInteger("$" + std::string(text.substr(text.size() - 3, 2)))));
  } else {
    Require(error == kBadFormat || error == kBadLength || error == kBadChecksum);
  }
  TDatagram datagram;
  if (ParseDatagram(text, datagram)) Require(datagram.Data.size() <= text.size());
  TAnswer answer = ReadAnswer(text);
  if (!answer.IsAnswer) Require(!answer.Ack && answer.Text.empty());
  Require(FrameLogText(text).size() >= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  FuzzAssembler(input);
  FuzzCodecs(input);
  // A composed frame always passes its own validation and parses back.
  if (size >= 2) {
    std::string payload(input.substr(2));
    for (char& c : payload)
      if (c == STX || c == ETX) c = '.';
    auto frame = ComposeFrame(data[0] % 100, data[1] % 100, (data[0] & 0x80) != 0, payload);
    Require(frame.has_value());
    const char* error = nullptr;
    auto body = ValidateFrame(*frame, error);
    Require(body.has_value());
    TDatagram d;
    Require(ParseDatagram(*body, d));
    Require(d.OT == data[0] % 100 && d.TRN == data[1] % 100);
    Require(d.Result == ((data[0] & 0x80) != 0));
    Require(d.Data == payload + "/");
  }
  return 0;
}
