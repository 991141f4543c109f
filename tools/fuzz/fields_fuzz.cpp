// Feeds arbitrary field texts to the join that builds every operation's data
// part, and arbitrary numbers to the recipient check, checking that no text
// can add, remove or shift a field: a data part that is built holds exactly
// the fields given, each as given, and travels in one frame that reads back
// as itself. A number that passes the check becomes digits only, at most 16.
//
// The input is split at newlines: the first piece is a number, the others
// (up to 33, a submit's count) are field texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"
#include "emi/params.h"

namespace {

using namespace qorvel;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (pieces.size() < 34) {
    const std::size_t end = input.find('\n', start);
    pieces.emplace_back(input.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }

  TParams params;
  params.SetValue("SMT_INT_PREFIX", "00");
  if (RecipientError(pieces[0], params) == nullptr) {
    const std::string address = ToSmscAddress(pieces[0], params);
    Require(!address.empty() && address.size() <= kMaxAddressDigits);
    for (char c : address) Require(c >= '0' && c <= '9');
  }

  const std::vector<std::string> fields(pieces.begin() + 1, pieces.end());
  if (fields.empty()) return 0;
  const std::optional<std::string> joined = JoinFieldTexts(fields);
  bool clean = true;
  for (const std::string& f : fields) clean = clean && FieldTextError(f) == nullptr;
  Require(joined.has_value() == clean);
  if (!joined) return 0;
  Require(FieldCount(*joined) == static_cast<int>(fields.size()));
  for (std::size_t i = 0; i < fields.size(); ++i)
    Require(FieldAt(*joined, static_cast<int>(i)) == fields[i]);
  const std::optional<std::string> frame = ComposeFrame(51, 7, false, *joined);
  if (!frame) return 0;
  Require(frame->find('\x02', 1) == std::string::npos);
  Require(frame->find('\x03') == frame->size() - 1);
  TDatagram d;
  Require(ParseDatagram(std::string_view(*frame).substr(1, frame->size() - 2), d));
  Require(d.OT == 51 && d.TRN == 7 && !d.Result);
  // The checksum and its separator follow the data part.
  Require(d.Data.substr(0, joined->size()) == *joined);
  return 0;
}
