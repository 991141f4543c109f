#include "emi/frame.h"

#include <algorithm>
#include <cstring>

#include "emi/codec.h"

namespace qorvel {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

char* PutDigits(char* out, unsigned value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// Offset of the first "/" at or after `from`, or npos. The fields looked at
// are a few characters long, too short to make up for a call to memchr.
std::size_t NextSeparator(std::string_view text, std::size_t from) {
  for (; from < text.size(); ++from)
    if (text[from] == '/') return from;
  return std::string_view::npos;
}

// Offset of the character after the n-th "/" (n >= 1), or npos.
std::size_t AfterSeparator(std::string_view text, int n) {
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) {
    pos = NextSeparator(text, pos);
    if (pos == std::string_view::npos) return pos;
    ++pos;
  }
  return pos;
}

// Field `index` as a view, without copying.
std::string_view FieldView(std::string_view list, int index) {
  std::size_t start = index == 0 ? 0 : AfterSeparator(list, index);
  if (start == std::string_view::npos) return {};
  std::size_t end = NextSeparator(list, start);
  return list.substr(start, end == std::string_view::npos ? end : end - start);
}

// Offset of the first `c` in text[from, to), or `to`.
std::size_t FindIn(std::string_view text, char c, std::size_t from, std::size_t to) {
  // A frame that arrives in small pieces is searched a few bytes at a time,
  // and calling memchr for those costs more than comparing them here.
  if (to - from < 8) {
    for (; from < to; ++from)
      if (text[from] == c) return from;
    return to;
  }
  const void* hit = std::memchr(text.data() + from, c, to - from);
  return hit == nullptr ? to
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
}

// The header fields of a datagram and its data part, taken apart in one pass
// rather than by a search from the start for each field.
struct THeader {
  std::string_view Field[4];  // TRN, LEN, O|R, OT; empty when missing
  std::string_view Data;      // fields 4 onwards kept in place; empty without a fourth "/"
};

THeader SplitHeader(std::string_view body) {
  THeader header;
  std::size_t start = 0;
  for (std::string_view& field : header.Field) {
    std::size_t slash = NextSeparator(body, start);
    if (slash == std::string_view::npos) {
      field = body.substr(start);
      return header;
    }
    field = body.substr(start, slash - start);
    start = slash + 1;
  }
  header.Data = body.substr(start);
  return header;
}

}  // namespace

uint8_t Checksum(std::string_view text) {
  // Adding in eight bits gives the same sum modulo 256 and lets the compiler
  // add 16 octets at once instead of widening each to an int first.
  uint8_t sum = 0;
  for (char c : text) sum = static_cast<uint8_t>(sum + static_cast<unsigned char>(c));
  return sum;
}

const char* ComposeFrameError(int aOT, int aTRN, std::string_view aData) {
  if (aTRN < 0 || aTRN > 99) return "EMI transaction number must be 0 to 99";
  if (aOT < 0 || aOT > 99) return "EMI operation type must be 0 to 99";
  if (aData.size() > kMaxDataLength) return "EMI data part too long for one frame";
  // The one place every frame passes: a control character that frames it
  // would cut it, whoever built the data.
  // Two scans of memchr are far cheaper than find_first_of's call per octet.
  // An empty view may hold no pointer at all, which memchr must not get.
  if (!aData.empty() && (std::memchr(aData.data(), STX, aData.size()) != nullptr ||
                         std::memchr(aData.data(), ETX, aData.size()) != nullptr))
    return "EMI data part holds STX or ETX";
  return nullptr;
}

std::optional<std::string> ComposeFrame(int aOT, int aTRN, bool aResult, std::string_view aData) {
  if (ComposeFrameError(aOT, aTRN, aData) != nullptr) return std::nullopt;
  const std::size_t length = aData.size() + kMinDatagramLength;
  std::string frame(length + 2, '/');
  char* out = frame.data();
  *out++ = STX;
  out = PutDigits(out, static_cast<unsigned>(aTRN), 2) + 1;
  out = PutDigits(out, static_cast<unsigned>(length), 5) + 1;
  *out = "OR"[aResult ? 1 : 0];
  out += 2;
  out = PutDigits(out, static_cast<unsigned>(aOT), 2) + 1;
  if (!aData.empty()) std::memcpy(out, aData.data(), aData.size());
  out += aData.size() + 1;
  uint8_t sum = Checksum(std::string_view(frame.data() + 1, length - 2));
  *out++ = kHexDigits[sum >> 4];
  *out++ = kHexDigits[sum & 0xF];
  *out = ETX;
  return frame;
}

bool ParseDatagram(std::string_view body, TDatagram& out) {
  const THeader header = SplitHeader(body);
  int32_t trn = 0, ot = 0;
  if (!TryReadDecimal(header.Field[0], trn) || !TryReadDecimal(header.Field[3], ot)) return false;
  out.TRN = static_cast<uint8_t>(trn);
  out.OT = static_cast<uint8_t>(ot);
  out.Result = header.Field[2] == "R";
  out.Data.assign(header.Data);
  return true;
}

TAnswer ReadAnswer(std::string_view body) {
  TAnswer answer;
  std::string_view data = SplitHeader(body).Data;
  std::string_view first = FieldView(data, 0);
  if (first.empty() || (first[0] != 'A' && first[0] != 'N')) return answer;
  answer.IsAnswer = true;
  answer.Ack = first[0] == 'A';
  if (!answer.Ack) {
    int32_t code = 0;
    answer.ErrorCode = TryReadDecimal(FieldView(data, 1), code) ? code : -1;
  }
  answer.Text.assign(data);
  return answer;
}

std::string FrameLogText(std::string_view frame) {
  std::string text;
  text.reserve(frame.size() + 8);
  for (char c : frame) {
    if (c == STX)
      text += "<STX>";
    else if (c == ETX)
      text += "<ETX>";
    else
      text += c;
  }
  return text;
}

std::optional<std::string_view> ValidateFrame(std::string_view frame, const char*& error) {
  if (frame.size() < 2 + kMinDatagramLength) {
    error = kBadFormat;
    return std::nullopt;
  }
  std::string_view datagram = frame.substr(1, frame.size() - 2);
  const uint8_t received = HexPairValue(datagram[datagram.size() - 2], datagram.back());
  int32_t length = 0;
  if (!TryReadDecimal(FieldView(datagram, 1), length)) {
    error = kBadFormat;
    return std::nullopt;
  }
  if (static_cast<std::size_t>(length) != datagram.size()) {
    error = kBadLength;
    return std::nullopt;
  }
  std::string_view body = datagram.substr(0, datagram.size() - 2);
  if (Checksum(body) != received) {
    error = kBadChecksum;
    return std::nullopt;
  }
  error = nullptr;
  return body;
}

void TFrameAssembler::Emit(std::string_view frame, Sink& sink) {
  sink.OnFrame(frame);
  const char* error = nullptr;
  if (auto body = ValidateFrame(frame, error))
    sink.OnDatagram(*body);
  else
    sink.OnBadFrame(error);
}

// Works as if the bytes came one at a time. A frame never holds an STX after
// its first byte, so an STX inside a partial frame means that frame was cut
// off: it is dropped and assembly restarts there. A lone STX carried nothing,
// so its drop goes unreported and an STX flood costs no log lines. A partial frame that reaches
// kMaxFrameLength bytes without an ETX can only end longer than any valid
// frame, so it is dropped there and memory stays bounded.
//
// The first delimiter is found with two memchr scans, ETX and then STX only
// up to it: a byte-wise search for either of the two is several times slower.
// The ETX found is kept until assembly passes it: looking for it again from
// each STX of a flood without ETX would rescan the rest of the chunk every
// time, and Feed() would no longer be linear in the chunk.
void TFrameAssembler::Feed(std::string_view chunk, Sink& sink) {
  const std::size_t size = chunk.size();
  std::size_t etx = std::string_view::npos;  // not looked for yet
  // The first ETX at or after `from`, or `size`.
  auto etxFrom = [&](std::size_t from) {
    if (etx == std::string_view::npos || etx < from) etx = FindIn(chunk, ETX, from, size);
    return etx;
  };
  std::size_t pos = 0;
  while (pos < size && !sink.Stopped()) {
    if (buffer_.empty()) {
      const std::size_t start = FindIn(chunk, STX, pos, size);
      if (start == size) return;
      const std::size_t end = start + chunk.substr(start, kMaxFrameLength).size();
      const std::size_t etxAt = etxFrom(start + 1);
      const std::size_t stxAt = FindIn(chunk, STX, start + 1, std::min(etxAt, end));
      if (stxAt < std::min(etxAt, end)) {
        if (stxAt - start > 1) sink.OnBadFrame(kBadFormat);
        pos = stxAt;
      } else if (etxAt < end) {
        pos = etxAt + 1;
        Emit(chunk.substr(start, pos - start), sink);
      } else if (end - start < kMaxFrameLength) {
        buffer_.assign(chunk.substr(start));
        return;
      } else {
        sink.OnBadFrame(kBadFormat);
        pos = end;
      }
      continue;
    }
    // The buffer holds an STX-led partial frame and has room for the bytes
    // up to `end`, its ETX among them.
    const std::size_t end = pos + chunk.substr(pos, kMaxFrameLength - buffer_.size()).size();
    const std::size_t etxAt = etxFrom(pos);
    const std::size_t stxAt = FindIn(chunk, STX, pos, std::min(etxAt, end));
    if (stxAt < std::min(etxAt, end)) {
      if (buffer_.size() + (stxAt - pos) > 1) sink.OnBadFrame(kBadFormat);
      buffer_.clear();
      pos = stxAt;
    } else if (etxAt < end) {
      buffer_.append(chunk.substr(pos, etxAt + 1 - pos));
      pos = etxAt + 1;
      Emit(buffer_, sink);
      buffer_.clear();
    } else {
      buffer_.append(chunk.substr(pos, end - pos));
      pos = end;
      if (buffer_.size() < kMaxFrameLength) return;
      sink.OnBadFrame(kBadFormat);
      buffer_.clear();
    }
  }
  if (sink.Stopped()) buffer_.clear();
}

}  // namespace qorvel
