#include "emi/codec.h"

#include <cstdio>
#include <limits>

#include "emi/params.h"
#include "emi/text.h"

namespace qorvel {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimView(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// Hex digits to 32 bits; false when a character is not a hex digit.
bool ReadHexDigits(std::string_view digits, uint32_t& value) {
  uint32_t result = 0;
  for (char c : digits) {
    int digit = HexValue(c);
    if (digit < 0) return false;
    result = (result << 4) | static_cast<uint32_t>(digit);
  }
  value = result;
  return true;
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) about "x" + std::string at -O2.
std::string Prefixed(std::string_view prefix, std::string_view text) {
  std::string result;
  result.reserve(prefix.size() + text.size());
  result.append(prefix);
  result.append(text);
  return result;
}

}  // namespace

uint8_t HexPairValue(char high, char low) {
  int h = HexValue(high);
  if (h < 0) return 0;
  int l = HexValue(low);
  if (l >= 0) return static_cast<uint8_t>(h << 4 | l);
  // A trailing blank is trimmed away, leaving the first digit alone.
  return low == ' ' ? static_cast<uint8_t>(h) : 0;
}

int32_t ReadInteger(std::string_view text) {
  text = TrimView(text);
  std::size_t zeros = text.find_first_not_of('0');
  if (zeros == std::string_view::npos) return 0;
  text.remove_prefix(zeros);
  if (text.front() == '$') {
    uint32_t value = 0;
    if (!ReadHexDigits(text.substr(1), value)) return 0;
    return static_cast<int32_t>(value);
  }
  bool negative = false;
  std::size_t i = 0;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
  }
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    int64_t next = value * 10 + (text[i] - '0');
    if (negative ? -next < std::numeric_limits<int32_t>::min()
                 : next > std::numeric_limits<int32_t>::max())
      break;
    value = next;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

bool TryReadInteger(std::string_view text, int32_t& value) {
  if (text.empty()) return false;
  if (text[0] == '$') {
    std::string_view digits = text.substr(1);
    if (digits.empty()) return false;
    std::size_t significant = digits.find_first_not_of('0');
    if (significant != std::string_view::npos && digits.size() - significant > 8) return false;
    uint32_t result = 0;
    if (!ReadHexDigits(digits, result)) return false;
    value = static_cast<int32_t>(result);
    return true;
  }
  bool negative = text[0] == '-';
  std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
    result = result * 10 + (text[i] - '0');
    if (result > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  if (negative) result = -result;
  if (result > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(result);
  return true;
}

bool TryReadDecimal(std::string_view text, int32_t& value) {
  if (text.empty()) return false;
  // Every frame carries three of these: worth a loop of its own without the
  // sign and "$" cases of TryReadInteger().
  int64_t result = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    result = result * 10 + (c - '0');
    if (result > std::numeric_limits<int32_t>::max()) return false;
  }
  value = static_cast<int32_t>(result);
  return true;
}

std::string IntToHexDigits(uint32_t value) {
  if (value == 0) return "$0";
  char digits[8];
  int count = 0;
  for (uint32_t v = value; v != 0; v >>= 4) digits[count++] = kHexDigits[v & 0xF];
  std::string result = "$";
  if (count % 2 != 0) result += '0';
  while (count > 0) result += digits[--count];
  return result;
}

std::string IntToHexWidth(uint32_t value, int width) {
  std::string result = IntToHexDigits(value);
  auto digits = static_cast<int>(result.size()) - 1;
  if (digits < width) result.insert(1, static_cast<std::size_t>(width - digits), '0');
  return result;
}

std::string TextToHex(std::string_view text) {
  std::string result(text.size() * 2, '0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto octet = static_cast<unsigned char>(text[i]);
    result[2 * i] = kHexDigits[octet >> 4];
    result[2 * i + 1] = kHexDigits[octet & 0xF];
  }
  return result;
}

std::string HexToText(std::string_view hex) {
  std::string result;
  result.reserve((hex.size() + 1) / 2);
  std::size_t i = 0;
  for (; i + 1 < hex.size(); i += 2) result += static_cast<char>(HexPairValue(hex[i], hex[i + 1]));
  if (i < hex.size()) {
    int digit = HexValue(hex[i]);
    result += static_cast<char>(digit < 0 ? 0 : digit);
  }
  return result;
}

std::string JoinFields(const std::vector<std::string>& fields) {
  std::string result;
  std::size_t size = fields.empty() ? 0 : fields.size() - 1;
  for (const auto& field : fields) size += field.size();
  result.reserve(size);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) result += '/';
    result += fields[i];
  }
  return result;
}

const char* FieldTextError(std::string_view field) {
  for (char c : field) {
    if (c == '/') return "holds a \"/\", which would end the field early";
    if (c == '\x02' || c == '\x03') return "holds STX or ETX, which would cut the frame";
  }
  return nullptr;
}

std::optional<std::string> JoinFieldTexts(const std::vector<std::string>& fields) {
  for (const std::string& field : fields)
    if (FieldTextError(field) != nullptr) return std::nullopt;
  return JoinFields(fields);
}

int FieldCount(std::string_view list) {
  int count = 1;
  for (char c : list) count += c == '/';
  return count;
}

std::string FieldAt(std::string_view list, int index) {
  if (index < 0) return {};
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) {
    std::size_t slash = list.find('/', start);
    if (slash == std::string_view::npos) return {};
    start = slash + 1;
  }
  std::size_t end = list.find('/', start);
  return std::string(list.substr(start, end == std::string_view::npos ? end : end - start));
}

std::string DateTimeToStamp(TDateTime value) {
  TDateTimeParts parts = DecodeDateTime(value);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d%02d%02d%02d%02d", parts.Day % 100, parts.Month % 100,
                parts.Year % 100, parts.Hour % 100, parts.Minute % 100);
  return stamp;
}

TDateTime StampToDateTime(std::string_view stamp) {
  if (stamp.empty()) return 0;
  auto piece = [&](std::size_t from, std::size_t count) -> std::string_view {
    return from < stamp.size() ? stamp.substr(from, count) : std::string_view();
  };
  TDateTime date = 0, time = 0;
  int32_t day = 0, month = 0, year = 0;
  if (!(TryReadDecimal(piece(0, 2), day) && TryReadDecimal(piece(2, 2), month) &&
        TryReadDecimal(piece(4, 2), year) && year <= 99 &&
        TryEncodeDate(2000 + year, month, day, date)))
    date = 0;
  int32_t hour = 0, minute = 0, second = 0;
  std::string seconds = Prefixed("0", piece(10, 2));
  if (!(TryReadDecimal(piece(6, 2), hour) && TryReadDecimal(piece(8, 2), minute) &&
        TryReadDecimal(seconds, second) && TryEncodeTime(hour, minute, second, 0, time)))
    time = 0;
  return date + time;
}

std::string ToSmscAddress(std::string_view address, const TParams& params) {
  if (address.empty()) return {};
  if (address[0] == '#') return std::string(address.substr(1));
  if (address[0] == '+') return Prefixed(params.Value("SMT_INT_PREFIX"), address.substr(1));
  return std::string(address);
}

const char* RecipientError(std::string_view number, const TParams& params) {
  std::string_view digits = number;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '#')) digits.remove_prefix(1);
  if (digits.empty()) return "is empty";
  for (char c : digits)
    if (c < '0' || c > '9') return "may hold only digits, after a leading \"+\" or \"#\"";
  const std::string address = ToSmscAddress(number, params);
  for (char c : address)
    if (c < '0' || c > '9') return "gets a prefix (SMT_INT_PREFIX) that is not all digits";
  if (address.size() > kMaxAddressDigits) return "is longer than the 16 digits of an address";
  return nullptr;
}

std::string FromSmscAddress(std::string_view address) {
  if (address.empty()) return {};
  if (address.substr(0, 2) == "00") return Prefixed("+", address.substr(2));
  bool leadingDigit = address[0] >= '1' && address[0] <= '9';
  if (address.size() >= 12 && leadingDigit) return Prefixed("+", address);
  if (address.size() > 6 || !leadingDigit) return std::string(address);
  return Prefixed("#", address);
}

}  // namespace qorvel
