// Feeds arbitrary bytes to the frame assembler in arbitrary chunks, arbitrary
// texts to the field codecs and the parsers of received operations, and
// frames around the length limit to the assembler, checking the invariants
// that must hold for every input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"
#include "emi/items.h"
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

// Feeds the stream whole and in chunks of 1 to aMaxChunk bytes whose sizes
// follow from aSeed: the events must not depend on how the stream is cut.
std::vector<std::string> Assemble(std::string_view stream, uint32_t seed, std::size_t aMaxChunk) {
  TFrameAssembler whole, chunked;
  CheckingSink wholeSink, chunkedSink;
  whole.Feed(stream, wholeSink);
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    std::size_t n = 1 + (seed >> 16) % aMaxChunk;
    chunked.Feed(stream.substr(at, n), chunkedSink);
    at += n;
  }
  Require(wholeSink.events == chunkedSink.events);
  Require(whole.Pending() == chunked.Pending());
  Require(whole.Pending() < kMaxFrameLength);
  // Every frame got its verdict.
  Require(!wholeSink.pendingFrame && !chunkedSink.pendingFrame);
  return wholeSink.events;
}

void FuzzAssembler(std::string_view input) {
  if (input.empty()) return;
  Assemble(input.substr(1), static_cast<uint8_t>(input[0]) * 2654435761u + 1, 64);
}

// Frames within a few bytes of the longest one, which inputs of the usual
// size never reach: byte 0 (0xF7 to 0xFF) says how far from the limit, byte 1 how the stream
// is cut, and the rest is repeated to fill the data part.
// One that fits is delivered whole; a longer one is dropped, and the frame
// after it still comes through. The sink keeps sizes, not copies: 100 kB
// frames would otherwise cost more than all the rest of an input.
class LongFrameSink : public TFrameAssembler::Sink {
 public:
  explicit LongFrameSink(std::string_view aBody) : body_(aBody) {}
  std::string events;  // F, B or D per event; D only for the expected body
  void OnFrame(std::string_view frame) override {
    Require(frame.size() <= kMaxFrameLength);
    events += 'F';
  }
  void OnBadFrame(std::string_view message) override {
    Require(message == kBadFormat);
    events += 'B';
  }
  void OnDatagram(std::string_view body) override { events += body == body_ ? 'D' : 'd'; }

 private:
  std::string_view body_;
};

void FuzzLongFrame(std::string_view input) {
  if (input.size() < 2) return;
  const int delta = static_cast<int>(static_cast<uint8_t>(input[0]) - 0xF7) - 4;
  std::string filler;
  for (char c : input.substr(1)) filler += (c == STX || c == ETX) ? '.' : c;
  const std::size_t dataLength = kMaxDataLength + delta;
  std::string data;
  data.reserve(dataLength);
  while (data.size() < dataLength) data += filler;
  data.resize(dataLength);

  const std::string body =
      "00/" + std::to_string(std::min(dataLength + 17, kMaxDatagramLength)) + "/O/52/" + data + "/";
  static constexpr char kHex[] = "0123456789ABCDEF";
  const uint8_t sum = Checksum(body);
  const std::string frame = STX + body + kHex[sum >> 4] + kHex[sum & 15] + ETX;
  const std::string next = *ComposeFrame(31, 1, false, "1234/0539");
  const std::string stream = frame + next;

  TFrameAssembler assembler;
  LongFrameSink sink(body);
  uint32_t seed = static_cast<uint8_t>(input[1]) * 2654435761u + 1;
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    std::size_t n = 1 + (seed >> 16) % 8192;
    assembler.Feed(std::string_view(stream).substr(at, n), sink);
    at += n;
  }
  Require(assembler.Pending() == 0);
  const bool fits = frame.size() <= kMaxFrameLength;
  Require(fits == ComposeFrame(52, 0, false, data).has_value());
  // The short frame after it is the 'd'.
  Require(sink.events == (fits ? "FDFd" : "BFd"));
}

void FuzzItems(std::string_view data) {
  auto delivered = ParseDeliveredMessage(data);
  Require(delivered->Msg == HexToText(FieldAt(data, 20)));
  Require(delivered->Binary == (FieldAt(data, 18) == "4"));
  Require(delivered->SCTS >= 0 && delivered->VP >= 0);
  auto notification = ParseDeliveryNotification(data);
  Require(notification->Msg == FieldAt(data, 20));
  Require(notification->SCTS >= 0 && notification->DSCTS >= 0);
  // The two name the same two parties, from opposite fields.
  Require(notification->OA == delivered->DA && notification->DA == delivered->OA);
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
  // A three-byte input also stands for a frame at the length limit: 100 kB of
  // assembly, too slow to pay for every input, and its content is filler.
  if (size == 3 && data[0] >= 0xF7) FuzzLongFrame(input);
  FuzzAssembler(input);
  FuzzCodecs(input);
  FuzzItems(input);
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
