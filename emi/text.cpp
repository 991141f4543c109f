#include "emi/text.h"

#include <algorithm>

namespace qorvel {

std::string AsciiUpper(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return result;
}

std::string AsciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::string TrimLeadingBlanks(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first));
}

std::string TrimTrailingBlanks(std::string_view text) {
  std::size_t last = text.find_last_not_of(' ');
  if (last == std::string_view::npos) return {};
  return std::string(text.substr(0, last + 1));
}

std::string TrimBlanks(std::string_view text) {
  return TrimLeadingBlanks(TrimTrailingBlanks(text));
}

std::string RepeatText(std::string_view text, int count) {
  std::string result;
  if (count <= 0 || text.empty()) return result;
  result.reserve(text.size() * static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) result.append(text);
  return result;
}

std::string BlankText(int count) {
  return count <= 0 ? std::string() : std::string(static_cast<std::size_t>(count), ' ');
}

std::string RightJustify(std::string_view text, int width) {
  if (width <= 0) return {};
  auto n = static_cast<std::size_t>(width);
  if (text.size() >= n) return std::string(text.substr(text.size() - n));
  return std::string(n - text.size(), ' ') + std::string(text);
}

std::string ReverseText(std::string_view text) {
  return std::string(text.rbegin(), text.rend());
}

}  // namespace qorvel
