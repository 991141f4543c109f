#pragma once
// Plain text helpers. A text is a sequence of octets (any value, 0 included);
// nothing here converts character sets. None of them fails.
#include <string>
#include <string_view>

namespace qorvel {

std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
// Only the space (octet 32) counts as a blank; tabs stay.
std::string TrimLeadingBlanks(std::string_view text);
std::string TrimTrailingBlanks(std::string_view text);
std::string TrimBlanks(std::string_view text);
std::string RepeatText(std::string_view text, int count);
std::string BlankText(int count);
// The last `width` characters, or the text padded with spaces on the left.
std::string RightJustify(std::string_view text, int width);
std::string ReverseText(std::string_view text);
inline std::string ChooseText(bool condition, std::string_view a, std::string_view b) {
  return std::string(condition ? a : b);
}

}  // namespace qorvel
