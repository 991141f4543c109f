#include "emi/frame_decode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>

#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/datetime.h"
#include "emi/frame.h"

namespace qorvel {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// UTF-8: the decoded view is read by people, and a dash stands out more
// than a hyphen among field values.
constexpr char kWrong[] = " \xE2\x80\x94 WRONG";

struct TDelimiters {
  std::string_view Open, Close;
};
constexpr TDelimiters kRawForm{"\x02", "\x03"};
constexpr TDelimiters kLogForm{"<STX>", "<ETX>"};

// The text between the delimiters of the first frame of one form, or false.
// Like the frame assembler, an opener that is followed by another opener
// before any closer was a frame cut short: the last one counts.
bool FindForm(std::string_view aText, const TDelimiters& aForm, std::size_t& aOpenAt,
              std::string_view& aDatagram) {
  const std::size_t open = aText.find(aForm.Open);
  if (open == std::string_view::npos) return false;
  const std::size_t close = aText.find(aForm.Close, open + aForm.Open.size());
  if (close == std::string_view::npos) return false;
  const std::size_t start = aText.rfind(aForm.Open, close - aForm.Open.size());
  aOpenAt = open;
  aDatagram = aText.substr(start + aForm.Open.size(), close - start - aForm.Open.size());
  return true;
}

bool IsDigits(std::string_view aText, std::size_t aCount) {
  if (aText.size() != aCount) return false;
  for (char c : aText)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsHexText(std::string_view aText) {
  if (aText.size() % 2 != 0) return false;
  for (char c : aText)
    if (!IsHexDigit(c)) return false;
  return true;
}

// Printable ASCII as it stands, every other octet as \xNN, and the
// backslash doubled so that a \xNN in the text cannot pass for an escape.
std::string Printable(std::string_view aText) {
  std::string shown;
  shown.reserve(aText.size());
  for (char c : aText) {
    const auto octet = static_cast<unsigned char>(c);
    if (c == '\\') {
      shown += "\\\\";
    } else if (octet >= 0x20 && octet < 0x7F) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kHexDigits[octet >> 4];
      shown += kHexDigits[octet & 0xF];
    }
  }
  return shown;
}

std::string Quoted(std::string_view aText) {
  return "\"" + Printable(aText) + "\"";
}

std::string TwoDigits(int aValue) {
  return {static_cast<char>('0' + aValue / 10 % 10), static_cast<char>('0' + aValue % 10)};
}

// A small number written in digits only (codes and flags of a few digits);
// false for anything else, so that "1x" is not read as 1.
bool ReadCode(std::string_view aText, int32_t& aValue) {
  return !aText.empty() && aText.size() <= 9 && TryReadDecimal(aText, aValue);
}

// ---- what field values mean ----------------------------------------------

// DDMMYYhhmm or DDMMYYhhmmss as "YYYY-MM-DD hh:mm[:ss]"; false when the
// text is no such stamp or no real date and time.
bool StampText(std::string_view aStamp, std::string& aText) {
  if (!IsDigits(aStamp, 10) && !IsDigits(aStamp, 12)) return false;
  auto pair = [&](std::size_t at) { return (aStamp[at] - '0') * 10 + (aStamp[at + 1] - '0'); };
  const int day = pair(0), month = pair(2), year = 2000 + pair(4);
  const int hour = pair(6), minute = pair(8), second = aStamp.size() == 12 ? pair(10) : 0;
  if (!IsValidDate(year, month, day) || !IsValidTime(hour, minute, second)) return false;
  aText = std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(day) + " " +
          TwoDigits(hour) + ":" + TwoDigits(minute);
  if (aStamp.size() == 12) aText += ":" + TwoDigits(second);
  return true;
}

std::string ShowStamp(std::string_view aRaw) {
  std::string text;
  if (StampText(aRaw, text)) return text;
  return Printable(aRaw) + " (not a date DDMMYYhhmm[ss])";
}

// "code = meaning" for a value with a meaning, the value alone when it has
// none, and a note when it is no number at all.
template <typename Meaning>
std::string ShowCode(std::string_view aRaw, Meaning aMeaning) {
  int32_t value = 0;
  if (!ReadCode(aRaw, value)) return Printable(aRaw) + " (not a number)";
  const std::string meaning = aMeaning(value);
  if (meaning.empty()) return Printable(aRaw) + " (unknown)";
  return Printable(aRaw) + " = " + meaning;
}

std::string Named(int32_t aValue, std::initializer_list<std::pair<int, const char*>> aNames) {
  for (const auto& [value, name] : aNames)
    if (value == aValue) return name;
  return {};
}

// The text of a code table entry without its code; a leading capital is
// lowered unless the word is an abbreviation ("SC congestion", "AdC
// invalid"), so that the text reads on after "code = ".
std::string EntryMeaning(const std::string& aEntry) {
  const std::size_t dash = aEntry.find('-');
  if (dash == std::string::npos) return {};
  std::string text = aEntry.substr(dash + 1);
  std::size_t wordEnd = text.find(' ');
  if (wordEnd == std::string::npos) wordEnd = text.size();
  bool plainWord = !text.empty() && text[0] >= 'A' && text[0] <= 'Z';
  for (std::size_t i = 1; plainWord && i < wordEnd; ++i)
    plainWord = text[i] >= 'a' && text[i] <= 'z';
  if (plainWord) text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

std::string ShowNotificationType(std::string_view aRaw) {
  int32_t value = 0;
  if (!ReadCode(aRaw, value)) return Printable(aRaw) + " (not a number)";
  if (value == 0) return Printable(aRaw) + " = none";
  std::string names;
  int count = 0;
  auto add = [&](const std::string& aName) { names += (count++ == 0 ? "" : " + ") + aName; };
  if (value & 1) add("delivery");
  if (value & 2) add("non-delivery");
  if (value & 4) add("buffered message");
  if (const int32_t other = value & ~7) add("other bits " + std::to_string(other));
  if (count == 1 && (value & ~7) == 0) names += " notification";
  return Printable(aRaw) + " = " + names;
}

std::string ShowMessageType(std::string_view aRaw) {
  return ShowCode(aRaw, [](int32_t v) {
    return Named(v, {{2, "numeric"}, {3, "alphanumeric"}, {4, "transparent data"}});
  });
}

// The message as its type says: IA5 text from hex for 3, the hex with its
// bit count for 4, the digits as they are otherwise.
std::string ShowMessage(std::string_view aRaw, std::string_view aMT, std::string_view aNB) {
  if (aRaw.empty()) return {};
  if (aMT == "3") {
    if (!IsHexText(aRaw)) return Printable(aRaw) + " (not IA5 hex)";
    return Printable(HexToText(aRaw));
  }
  if (aMT == "4" && !aNB.empty()) return Printable(aRaw) + " (" + Printable(aNB) + " bits)";
  return Printable(aRaw);
}

std::string ShowPID(std::string_view aRaw) {
  return ShowCode(aRaw, [](int32_t v) {
    return Named(v, {{100, "paging"},
                     {122, "e-mail"},
                     {131, "X.400"},
                     {138, "menu over PSTN"},
                     {200, "PC appl. over X.25"},
                     {439, "PC over ISDN"},
                     {539, "PC appl. over TCP/IP"},
                     {639, "menu over TCP/IP"}});
  });
}

// "address:DDMMYYhhmmss", the stamp read as a date.
std::string ShowAckSM(std::string_view aRaw) {
  const std::size_t colon = aRaw.rfind(':');
  std::string date;
  if (colon == std::string_view::npos || !StampText(aRaw.substr(colon + 1), date))
    return Printable(aRaw);
  return Printable(aRaw.substr(0, colon)) + ", SCTS " + date;
}

// ---- field names ------------------------------------------------------------

constexpr std::array<const char*, 2> kAlertNames{"AdC", "PID"};
constexpr std::array<const char*, 33> kMessageNames{
    "AdC", "OAdC", "AC",   "NRq",  "NAdC", "NT",   "NPID",  "LRq",   "LRAd", "LPID", "DD",
    "DDT", "VP",   "RPID", "SCTS", "Dst",  "Rsn",  "DSCTS", "MT",    "NB",   "Msg",  "MMS",
    "PR",  "DCs",  "MCLs", "RPI",  "CPg",  "RPLy", "OTOA",  "HPLMN", "XSer", "RES4", "RES5"};
constexpr std::array<const char*, 12> kSessionNames{"OAdC", "OTON", "ONPI", "STYP", "PWD",  "NPWD",
                                                    "VERS", "LAdC", "LTON", "LNPI", "OPID", "RES1"};
constexpr std::array<const char*, 5> kCallInputNames{"AdC", "OAdC", "AC", "MT", "AMsg"};
constexpr std::array<const char*, 3> kMessageAckNames{"ACK", "MVP", "SM"};
constexpr std::array<const char*, 2> kAckNames{"ACK", "SM"};
constexpr std::array<const char*, 3> kNakNames{"NAK", "EC", "SM"};

struct TNames {
  const char* const* Names = nullptr;
  std::size_t Count = 0;
};

template <std::size_t N>
TNames NamesOf(const std::array<const char*, N>& aNames) {
  return {aNames.data(), N};
}

bool IsMessageOperation(int aOT) {
  return aOT >= 51 && aOT <= 58;
}

// An acknowledgement of 51 to 58 carries the validity the centre gave the
// message before its SM (see the client's reading of a submit's answer).
TNames FieldNames(int aOT, bool aResult, std::string_view aFirst) {
  if (aResult) {
    if (aFirst == "N") return NamesOf(kNakNames);
    return IsMessageOperation(aOT) ? NamesOf(kMessageAckNames) : NamesOf(kAckNames);
  }
  if (aOT == 1) return NamesOf(kCallInputNames);
  if (aOT == 31) return NamesOf(kAlertNames);
  if (IsMessageOperation(aOT)) return NamesOf(kMessageNames);
  if (aOT == 60 || aOT == 61) return NamesOf(kSessionNames);
  return {};
}

std::string_view RawOf(const std::vector<TDecodedField>& aFields, std::string_view aName) {
  for (const TDecodedField& field : aFields)
    if (field.Name == aName) return field.Raw;
  return {};
}

// What a field's value means, by the field's name in its frame.
void ShowField(TDecodedField& aField, int aOT, bool aResult,
               const std::vector<TDecodedField>& aFields) {
  const std::string& name = aField.Name;
  const std::string_view raw = aField.Raw;
  if (raw.empty()) return;
  if (aResult) {
    if (name == "EC") {
      aField.Shown = ShowCode(raw, [](int32_t v) { return EntryMeaning(OperationErrorText(v)); });
    } else if (name == "MVP") {
      aField.Shown = ShowStamp(raw);
    } else if (name == "SM" && IsMessageOperation(aOT) && RawOf(aFields, "ACK") == "A") {
      aField.Shown = ShowAckSM(raw);
    } else {
      aField.Shown = Printable(raw);
    }
    return;
  }
  if (name == "DDT" || name == "VP" || name == "SCTS" || name == "DSCTS") {
    aField.Shown = ShowStamp(raw);
  } else if (name == "NT") {
    aField.Shown = ShowNotificationType(raw);
  } else if (name == "MT") {
    aField.Shown = ShowMessageType(raw);
  } else if (name == "Msg" || name == "AMsg") {
    aField.Shown = ShowMessage(raw, RawOf(aFields, "MT"), RawOf(aFields, "NB"));
  } else if (name == "Dst") {
    aField.Shown = ShowCode(raw, [](int32_t v) {
      return v < 10 ? EntryMeaning(FindCodeEntry(std::to_string(v), DeliveryStatusTexts))
                    : std::string();
    });
  } else if (name == "Rsn") {
    aField.Shown = ShowCode(raw, [](int32_t v) { return EntryMeaning(ReasonText(v)); });
  } else if (name == "MCLs") {
    aField.Shown = ShowCode(raw, [](int32_t v) {
      return v >= 0 && v <= 3 ? "class " + std::to_string(v) : std::string();
    });
  } else if (name == "RPI") {
    aField.Shown = ShowCode(raw, [](int32_t v) {
      return Named(v, {{1, "request"}, {2, "response"}});
    });
  } else if (name == "PID" || name == "NPID" || name == "LPID") {
    aField.Shown = ShowPID(raw);
  } else if (name == "STYP") {
    aField.Shown = ShowCode(raw, [](int32_t v) {
      return Named(v, {{1, "open session"},
                       {2, "reserved"},
                       {3, "change password"},
                       {4, "open provisioning session"},
                       {5, "reserved"},
                       {6, "change provisioning password"}});
    });
  } else if ((aOT == 60 || aOT == 61) && (name == "PWD" || name == "NPWD")) {
    // A log may be passed around; the password stays in the frame only.
    aField.Shown = "(" + std::to_string((raw.size() + 1) / 2) + " characters, hidden)";
    aField.Raw.clear();
    aField.Hidden = true;
  } else {
    aField.Shown = Printable(raw);
  }
}

std::vector<std::string_view> Split(std::string_view aText) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = aText.find('/', start);
    if (slash == std::string_view::npos) {
      parts.push_back(aText.substr(start));
      return parts;
    }
    parts.push_back(aText.substr(start, slash - start));
    start = slash + 1;
  }
}

std::string FiveDigits(std::size_t aValue) {
  std::string text = std::to_string(aValue);
  if (text.size() < 5) text.insert(0, 5 - text.size(), '0');
  return text;
}

// ---- JSON -------------------------------------------------------------------

void AppendJsonString(std::string& aOut, std::string_view aText) {
  aOut += '"';
  for (char c : aText) {
    const auto octet = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      aOut += '\\';
      aOut += c;
    } else if (octet >= 0x20 && octet < 0x7F) {
      aOut += c;
    } else {
      // Control characters must be escaped; the rest are octets of no
      // known encoding, kept one character each as Latin-1.
      aOut += "\\u00";
      aOut += kHexDigits[octet >> 4];
      aOut += kHexDigits[octet & 0xF];
    }
  }
  aOut += '"';
}

void AppendJsonMember(std::string& aOut, std::string_view aKey, std::string_view aValue) {
  if (aOut.back() != '{') aOut += ',';
  AppendJsonString(aOut, aKey);
  aOut += ':';
  AppendJsonString(aOut, aValue);
}

void AppendJsonMember(std::string& aOut, std::string_view aKey, bool aValue) {
  if (aOut.back() != '{') aOut += ',';
  AppendJsonString(aOut, aKey);
  aOut += aValue ? ":true" : ":false";
}

}  // namespace

std::string OperationName(int aOT) {
  switch (aOT) {
    case 1:
      return "Call input";
    case 31:
      return "Alert";
    case 51:
      return "Submit short message";
    case 52:
      return "Delivery short message";
    case 53:
      return "Delivery notification";
    case 60:
      return "Session management";
    case 61:
      return "List management";
    default:
      return "Operation " + (aOT >= 0 && aOT <= 99 ? TwoDigits(aOT) : std::to_string(aOT));
  }
}

TDecodedFrame DecodeFrame(std::string_view aText) {
  TDecodedFrame frame;
  std::size_t rawAt = 0, logAt = 0;
  std::string_view rawDatagram, logDatagram;
  const bool raw = FindForm(aText, kRawForm, rawAt, rawDatagram);
  const bool logged = FindForm(aText, kLogForm, logAt, logDatagram);
  if (!raw && !logged) return frame;
  const std::string_view datagram = raw && (!logged || rawAt < logAt) ? rawDatagram : logDatagram;
  frame.Found = true;
  frame.RealLength = datagram.size();

  const std::vector<std::string_view> parts = Split(datagram);
  // The checksum follows the last "/"; everything up to that "/" is summed.
  const std::size_t lastSlash = datagram.rfind('/');
  const std::string_view body =
      lastSlash == std::string_view::npos ? datagram : datagram.substr(0, lastSlash + 1);
  const uint8_t sum = Checksum(body);
  frame.ChecksumComputed = {kHexDigits[sum >> 4], kHexDigits[sum & 0xF]};
  if (parts.size() < 6) {
    frame.Problems.push_back("the datagram has " + std::to_string(parts.size()) +
                             " of the at least 6 fields TRN/LEN/O|R/OT/data/CS");
  }
  const std::size_t header = parts.size() >= 2 ? std::min<std::size_t>(4, parts.size() - 1) : 1;
  std::string* headerFields[4] = {&frame.TRN, &frame.LEN, &frame.Kind, &frame.OT};
  for (std::size_t i = 0; i < header; ++i) headerFields[i]->assign(parts[i]);
  if (parts.size() >= 2) frame.ChecksumGiven.assign(parts.back());

  if (!IsDigits(frame.TRN, 2))
    frame.Problems.push_back("TRN " + Quoted(frame.TRN) + " is not two digits");
  int32_t length = 0;
  if (!IsDigits(frame.LEN, 5)) {
    frame.Problems.push_back("LEN " + Quoted(frame.LEN) + " is not five digits");
  } else if (TryReadDecimal(frame.LEN, length)) {
    frame.LengthOk = static_cast<std::size_t>(length) == frame.RealLength;
  }
  frame.Result = frame.Kind == "R";
  if (frame.Kind != "O" && !frame.Result)
    frame.Problems.push_back("O/R " + Quoted(frame.Kind) + " is neither O nor R");
  int32_t ot = -1;
  if (IsDigits(frame.OT, 2) && TryReadDecimal(frame.OT, ot)) {
    frame.Operation = OperationName(ot);
  } else {
    frame.Operation = "Operation " + Printable(frame.OT);
    frame.Problems.push_back("OT " + Quoted(frame.OT) + " is not two digits");
  }
  const std::string_view given = frame.ChecksumGiven;
  if (given.size() == 2 && IsHexDigit(given[0]) && IsHexDigit(given[1])) {
    frame.ChecksumOk = HexPairValue(given[0], given[1]) == sum;
    if (given != frame.ChecksumComputed && frame.ChecksumOk)
      frame.Problems.push_back("CS " + Quoted(given) + " is not written in upper case");
  } else {
    frame.Problems.push_back("CS " + Quoted(given) + " is not two hex digits");
  }

  if (parts.size() < 6) return frame;
  const std::size_t dataCount = parts.size() - 5;
  const TNames names = FieldNames(ot, frame.Result, parts[4]);
  frame.Fields.resize(dataCount);
  for (std::size_t i = 0; i < dataCount; ++i) {
    TDecodedField& field = frame.Fields[i];
    field.Name = i < names.Count ? names.Names[i] : "field " + std::to_string(i + 1);
    field.Raw.assign(parts[4 + i]);
  }
  if (frame.Result && parts[4] != "A" && parts[4] != "N")
    frame.Problems.push_back("ACK/NAK " + Quoted(parts[4]) + " is neither A nor N");
  // Values that depend on others (Msg on MT) read the raw values, so these
  // are all in place before any is shown.
  const std::vector<TDecodedField> rawFields = frame.Fields;
  for (TDecodedField& field : frame.Fields) ShowField(field, ot, frame.Result, rawFields);
  return frame;
}

std::string DecodedText(const TDecodedFrame& aFrame) {
  if (!aFrame.Found) return "No frame\n";
  std::string text = "Operation: " + Printable(aFrame.OT) + " " + aFrame.Operation + " (" +
                     Printable(aFrame.Kind) + ", TRN " + Printable(aFrame.TRN) + ")\n";
  const std::string given =
      aFrame.ChecksumGiven.empty() ? "(none)" : Printable(aFrame.ChecksumGiven);
  text += "Checksum: " + given +
          (aFrame.ChecksumOk ? " ok" : ", expected " + aFrame.ChecksumComputed + kWrong) + "\n";
  text += "Length: " + Printable(aFrame.LEN) +
          (aFrame.LengthOk ? " ok" : ", expected " + FiveDigits(aFrame.RealLength) + kWrong) + "\n";
  for (const std::string& problem : aFrame.Problems) text += "Problem: " + problem + "\n";
  for (const TDecodedField& field : aFrame.Fields) {
    // An operation leaves most of its fields empty; a result has few, and
    // an empty one there (no SM, say) is worth seeing.
    if (field.Shown.empty() && !aFrame.Result) continue;
    text += field.Name + ":" + (field.Shown.empty() ? "" : " " + field.Shown) + "\n";
  }
  return text;
}

std::string DecodedJson(const TDecodedFrame& aFrame) {
  std::string json = "{";
  AppendJsonMember(json, "found", aFrame.Found);
  if (aFrame.Found) {
    AppendJsonMember(json, "trn", aFrame.TRN);
    AppendJsonMember(json, "len", aFrame.LEN);
    json += ",\"realLength\":" + std::to_string(aFrame.RealLength);
    AppendJsonMember(json, "lengthOk", aFrame.LengthOk);
    AppendJsonMember(json, "kind", aFrame.Kind);
    AppendJsonMember(json, "result", aFrame.Result);
    AppendJsonMember(json, "ot", aFrame.OT);
    AppendJsonMember(json, "operation", aFrame.Operation);
    AppendJsonMember(json, "checksum", aFrame.ChecksumGiven);
    AppendJsonMember(json, "checksumExpected", aFrame.ChecksumComputed);
    AppendJsonMember(json, "checksumOk", aFrame.ChecksumOk);
    json += ",\"problems\":[";
    for (std::size_t i = 0; i < aFrame.Problems.size(); ++i) {
      if (i > 0) json += ',';
      AppendJsonString(json, aFrame.Problems[i]);
    }
    json += "],\"fields\":[";
    for (std::size_t i = 0; i < aFrame.Fields.size(); ++i) {
      const TDecodedField& field = aFrame.Fields[i];
      json += i > 0 ? ",{" : "{";
      AppendJsonMember(json, "name", field.Name);
      AppendJsonMember(json, "raw", field.Raw);
      AppendJsonMember(json, "shown", field.Shown);
      AppendJsonMember(json, "hidden", field.Hidden);
      json += '}';
    }
    json += ']';
  }
  json += '}';
  return json;
}

}  // namespace qorvel
