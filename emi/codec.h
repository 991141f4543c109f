#pragma once
// The EMI field encodings: integers, IA5 hex text, "/"-separated field lists,
// time stamps and SMSC addresses. Pure functions; none of them fails: every
// bad input has a defined result.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emi/datetime.h"

namespace qorvel {

class TParams;

// Decimal with optional sign, or hex after "$"; blanks and leading zeros are
// skipped first. Bad input reads as 0 (or as the digits read so far).
int32_t ReadInteger(std::string_view text);
// Strict form: the whole text must be an integer (decimal with optional sign,
// or "$" and hex digits). Used where the protocol asks "is it an integer".
bool TryReadInteger(std::string_view text, int32_t& value);
// Digits only, as the numbers inside a frame are written (LEN, TRN, OT, error
// codes, time-stamp pieces): no sign, no "$" hex, no blanks.
bool TryReadDecimal(std::string_view text, int32_t& value);
// The value of two characters as ReadInteger reads "$" and them, without
// building that text: how a frame's checksum pair is read.
uint8_t HexPairValue(char high, char low);

std::string IntToHexDigits(uint32_t value);
std::string IntToHexWidth(uint32_t value, int width);
std::string TextToHex(std::string_view text);
std::string HexToText(std::string_view hex);

std::string JoinFields(const std::vector<std::string>& fields);
// Why a field's text cannot travel inside a frame, or nullptr: a "/" would
// end the field early and shift every later one, an STX or ETX would cut the
// frame.
const char* FieldTextError(std::string_view field);
// JoinFields for texts that must each stay one field: none when any of them
// has a FieldTextError.
std::optional<std::string> JoinFieldTexts(const std::vector<std::string>& fields);
int FieldCount(std::string_view list);
std::string FieldAt(std::string_view list, int index);

// Ten digits, DDMMYYhhmm; seconds are dropped.
std::string DateTimeToStamp(TDateTime value);
// DDMMYYhhmm or DDMMYYhhmmss; the date and the time part each read as 0 when bad.
TDateTime StampToDateTime(std::string_view stamp);

// "#" short numbers go out without the "#"; "+" becomes SMT_INT_PREFIX.
std::string ToSmscAddress(std::string_view address, const TParams& params);
// Why `number` cannot be a recipient, or nullptr: a leading "+" or "#", then
// digits only, at most 16 of them once ToSmscAddress has written them as an
// address field holds them.
const char* RecipientError(std::string_view number, const TParams& params);
// The most digits an address field holds.
constexpr std::size_t kMaxAddressDigits = 16;
// The longest validity period a submit may ask for, in days: ten years keeps
// the two-digit year of the validity field unambiguous.
constexpr double kMaxValidityDays = 3650;
std::string FromSmscAddress(std::string_view address);

}  // namespace qorvel
