#include "emi/params.h"

#include <algorithm>

#include "emi/text.h"

namespace qorvel {

namespace {
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && AsciiUpper(a) == AsciiUpper(b);
}
}  // namespace

std::string TParams::Value(std::string_view name) const {
  for (const auto& [n, v] : items_)
    if (SameName(n, name)) return v;
  return {};
}

bool TParams::Has(std::string_view name) const {
  return std::any_of(items_.begin(), items_.end(),
                     [&](const auto& item) { return SameName(item.first, name); });
}

void TParams::SetValue(std::string_view name, std::string_view value) {
  for (auto& [n, v] : items_)
    if (SameName(n, name)) {
      v = value;
      return;
    }
  items_.emplace_back(name, value);
}

void TParams::AddLine(std::string_view line) {
  auto eq = line.find('=');
  if (eq == std::string_view::npos) {
    items_.emplace_back(line, "");
  } else {
    items_.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
}

}  // namespace qorvel
