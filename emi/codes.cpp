#include "emi/codes.h"

#include <array>
#include <cstddef>
#include <string>

#include "connect/errors.h"

namespace qorvel {

namespace {

// Each entry is a literal of its own: a "\x01" followed directly by a digit
// would be read as one longer hex escape.
constexpr char kDeliveryStatusTexts[] =
    "0-delivered\x01"
    "1-buffered\x01"
    "2-not delivered\x01";

// The operation error and reason tables come as two resources each, joined
// before use.
constexpr char kOperationErrorTexts1[] =
    "01-Checksum error\x01"
    "02-Syntax error\x01"
    "03-Operation not supported by system\x01"
    "04-Operation not allowed\x01"
    "05-Call barring active\x01"
    "06-AdC invalid\x01"
    "07-Authentication failure\x01"
    "08-Legitimisation code for all calls, failure\x01"
    "09-GA not valid\x01"
    "10-Repetition not allowed\x01"
    "11-Legitimisation code for repetition, failure\x01"
    "12-Priority call not allowed\x01"
    "13-Legitimisation code for priority call, failure\x01"
    "14-Urgent message not allowed\x01"
    "15-Legitimisation code for urgent message, failure\x01"
    "16-Reverse charging not allowed\x01"
    "17-Legitimisation code for rev. charging, failure\x01"
    "18-Deferred delivery not allowed\x01"
    "19-New AC not valid\x01";

constexpr char kOperationErrorTexts2[] =
    "20-New legitimisation code not valid\x01"
    "21-Standard text not valid\x01"
    "22-Time period not valid\x01"
    "23-Message type not supported by system\x01"
    "24-Message too long\x01"
    "25-Requested standard text not valid\x01"
    "26-Message type not valid for the pager type\x01"
    "27-Message not found in smsc\x01"
    "30-Subscriber hang-up\x01"
    "31-Fax group not supported\x01"
    "32-Fax message type not supported\x01"
    "33-Address already in list (60 series)\x01"
    "34-Address not in list (60 series)\x01"
    "35-List full, cannot add address to list (60 series)\x01"
    "36-RPID already in use\x01"
    "37-Delivery in progress\x01"
    "38-Message forwarded\x01";

constexpr char kReasonCodeTexts1[] =
    "000-Unknown subscriber\x01"
    "001-Service temporary not available\x01"
    "002-Service temporary not available\x01"
    "003-Service temporary not available\x01"
    "004-Service temporary not available\x01"
    "005-Service temporary not available\x01"
    "006-Service temporary not available\x01"
    "007-Service temporary not available\x01"
    "008-Service temporary not available\x01"
    "009-Illegal error code\x01"
    "010-Network time-out\x01"
    "100-Facility not supported\x01"
    "101-Unknown subscriber\x01"
    "102-Facility not provided\x01"
    "103-Call barred\x01"
    "104-Operation barred\x01"
    "105-SC congestion\x01"
    "106-Facility not supported\x01"
    "107-Absent subscriber\x01"
    "108-Delivery fail\x01"
    "109-Sc congestion\x01";

constexpr char kReasonCodeTexts2[] =
    "110-Protocol error\x01"
    "111-MS not equipped\x01"
    "112-Unknown SC\x01"
    "113-SC congestion\x01"
    "114-Illegal MS\x01"
    "115-MS not a subscriber\x01"
    "116-Error in MS\x01"
    "117-SMS lower layer not provisioned\x01"
    "118-System fail\x01"
    "119-PLMN system failure\x01"
    "120-HLR system failure\x01"
    "121-VLR system failure\x01"
    "122-Previous VLR system failure\x01"
    "123-Controlling MSC system failure\x01"
    "124-VMSC system failure\x01"
    "125-EIR system failure\x01"
    "126-System failure\x01"
    "127-Unexpected data value\x01"
    "200-Error in address service centre\x01"
    "201-Invalid absolute Validity Period\x01"
    "202-Short message exceeds maximum\x01"
    "203-Unable to Unpack GSM message\x01"
    "204-Unable to convert to IA5 ALPHABET\x01"
    "205-Invalid validity period format\x01"
    "206-Invalid destination address\x01"
    "207-Duplicate message submit\x01"
    "208-Invalid message type indicator\x01";

// Joined at compile time, so the tables are ready before any static
// initialiser elsewhere could look a code up.
template <std::size_t N1, std::size_t N2>
constexpr std::array<char, N1 + N2 - 2> JoinResources(const char (&first)[N1],
                                                      const char (&second)[N2]) {
  std::array<char, N1 + N2 - 2> joined{};
  std::size_t at = 0;
  for (std::size_t i = 0; i + 1 < N1; ++i) joined[at++] = first[i];
  for (std::size_t i = 0; i + 1 < N2; ++i) joined[at++] = second[i];
  return joined;
}

constexpr auto kOperationErrorTable = JoinResources(kOperationErrorTexts1, kOperationErrorTexts2);
constexpr auto kReasonCodeTable = JoinResources(kReasonCodeTexts1, kReasonCodeTexts2);

constexpr char kEntrySeparator = '\x01';

// Decimal with at least `digits` digits, like printf's "%.*d".
std::string ZeroPadded(int number, std::size_t digits) {
  long long magnitude = number;
  bool negative = magnitude < 0;
  std::string text = std::to_string(negative ? -magnitude : magnitude);
  if (text.size() < digits) text.insert(0, digits - text.size(), '0');
  return negative ? "-" + text : text;
}

}  // namespace

constexpr std::string_view DeliveryStatusTexts{kDeliveryStatusTexts,
                                               sizeof kDeliveryStatusTexts - 1};
constexpr std::string_view OperationErrorTexts{kOperationErrorTable.data(),
                                               kOperationErrorTable.size()};
constexpr std::string_view ReasonCodeTexts{kReasonCodeTable.data(), kReasonCodeTable.size()};

std::string CodeText(int aNumber, std::string_view aTable) {
  std::size_t dash = aTable.find('-');
  if (dash == std::string_view::npos || dash == 0) {
    RaiseEMIError(-1, "Bad resource string array parameter");
  }
  return FindCodeEntry(ZeroPadded(aNumber, dash), aTable);
}

std::string FindCodeEntry(std::string_view aCode, std::string_view aTable) {
  std::string key = std::string(aCode) + "-";
  std::size_t start = 0;
  while (start < aTable.size()) {
    std::size_t end = aTable.find(kEntrySeparator, start);
    if (end == std::string_view::npos) end = aTable.size();
    std::string_view entry = aTable.substr(start, end - start);
    if (entry.starts_with(key)) return std::string(entry);
    start = end + 1;
  }
  return {};
}

std::string OperationErrorText(int aNumber) {
  return FindCodeEntry(ZeroPadded(aNumber, 2), OperationErrorTexts);
}

std::string ReasonText(int aNumber) {
  return FindCodeEntry(ZeroPadded(aNumber, 3), ReasonCodeTexts);
}

void RaiseEMIError(int aCode, const std::string& aMessage) {
  throw EEMIError(aCode, aMessage);
}

}  // namespace qorvel
