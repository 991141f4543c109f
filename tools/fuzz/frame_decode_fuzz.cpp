// Feeds arbitrary lines to the frame decoder and its two renderings, and
// frames composed from arbitrary fields, checking that nothing crashes, that
// the JSON is well formed and free of raw control characters, and that a
// composed frame reads back as the fields it was built from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"
#include "emi/frame_decode.h"

namespace {

using namespace qorvel;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// A recogniser for the JSON the decoder writes: objects, arrays, strings,
// numbers, true and false. True when `text` is exactly one value.
class TJsonChecker {
 public:
  explicit TJsonChecker(std::string_view aText) : text_(aText) {}
  bool Whole() { return Value() && at_ == text_.size(); }

 private:
  bool Value() {
    if (++depth_ > 8) return false;
    bool ok = false;
    if (Peek('{')) {
      ok = Members('}', true);
    } else if (Peek('[')) {
      ok = Members(']', false);
    } else if (Peek('"')) {
      ok = String();
    } else if (Word("true") || Word("false")) {
      ok = true;
    } else {
      ok = Number();
    }
    --depth_;
    return ok;
  }
  bool Members(char aClose, bool aKeyed) {
    ++at_;
    if (Close(aClose)) return true;
    for (;;) {
      if (aKeyed) {
        if (!Peek('"') || !String() || !Peek(':')) return false;
        ++at_;
      }
      if (!Value()) return false;
      if (Close(aClose)) return true;
      if (!Peek(',')) return false;
      ++at_;
    }
  }
  bool String() {
    ++at_;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c < 0x20) return false;
      if (c == '"') return true;
      if (c != '\\') continue;
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      if (e == 'u') {
        for (int i = 0; i < 4; ++i, ++at_) {
          if (at_ >= text_.size()) return false;
          const char h = text_[at_];
          if (!((h >= '0' && h <= '9') || (h >= 'A' && h <= 'F') || (h >= 'a' && h <= 'f')))
            return false;
        }
      } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }
  bool Number() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }
  bool Word(std::string_view aWord) {
    if (text_.substr(at_, aWord.size()) != aWord) return false;
    at_ += aWord.size();
    return true;
  }
  bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
  bool Close(char c) {
    if (!Peek(c)) return false;
    ++at_;
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  int depth_ = 0;
};

void CheckRenderings(const TDecodedFrame& aFrame) {
  const std::string json = DecodedJson(aFrame);
  for (char c : json) {
    const auto octet = static_cast<unsigned char>(c);
    Require(octet >= 0x20 && octet < 0x7F);
  }
  Require(TJsonChecker(json).Whole());
  const std::string text = DecodedText(aFrame);
  Require(!text.empty() && text.back() == '\n');
  if (!aFrame.Found) Require(aFrame.Fields.empty() && json == "{\"found\":false}");
}

// Bytes 0 and 1 choose OT, TRN and O or R; the rest, cut at each "/", are
// the fields.
void CheckRoundTrip(std::string_view aInput) {
  if (aInput.size() < 2) return;
  const int ot = static_cast<uint8_t>(aInput[0]) % 100;
  const int trn = static_cast<uint8_t>(aInput[1]) % 100;
  const bool result = (static_cast<uint8_t>(aInput[0]) & 0x80) != 0;
  std::string data(aInput.substr(2));
  for (char& c : data)
    if (c == STX || c == ETX) c = '.';
  const auto frame = ComposeFrame(ot, trn, result, data);
  Require(frame.has_value());
  std::vector<std::string> fields;
  for (int i = 0, n = FieldCount(data); i < n; ++i) fields.push_back(FieldAt(data, i));

  std::vector<std::string> lines = {*frame, "01) " + *frame + " tail"};
  // The log form is unambiguous only when the fields hold no delimiter text.
  if (data.find("<STX>") == std::string::npos && data.find("<ETX>") == std::string::npos)
    lines.push_back("12:00:00 " + FrameLogText(*frame));
  for (const std::string& line : lines) {
    const TDecodedFrame decoded = DecodeFrame(line);
    Require(decoded.Found && decoded.ChecksumOk && decoded.LengthOk);
    Require(decoded.Problems.empty() || (result && fields[0] != "A" && fields[0] != "N"));
    Require(decoded.TRN ==
            std::string(1, static_cast<char>('0' + trn / 10)) + static_cast<char>('0' + trn % 10));
    Require(decoded.Result == result && decoded.Kind == (result ? "R" : "O"));
    Require(decoded.Operation == OperationName(ot));
    Require(decoded.Fields.size() == fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const TDecodedField& field = decoded.Fields[i];
      // A password is never given back; only its length shows.
      Require(field.Hidden ? field.Raw.empty() && !fields[i].empty() : field.Raw == fields[i]);
      Require(!field.Name.empty());
    }
    CheckRenderings(decoded);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckRenderings(DecodeFrame(input));
  CheckRoundTrip(input);
  return 0;
}
