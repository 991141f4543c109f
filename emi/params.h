#pragma once
// The engine's name=value settings, in insertion order; names compare without
// regard to ASCII case. Not thread-safe: filled and read on the main thread.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorvel {

class TParams {
 public:
  // The value of `name`, or empty when absent.
  std::string Value(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Replaces the value of an existing name, or appends it.
  void SetValue(std::string_view name, std::string_view value);
  // Adds a "name=value" line (a line without "=" is a name with an empty value).
  void AddLine(std::string_view line);
  void Clear() { items_.clear(); }
  bool Empty() const { return items_.empty(); }
  const std::vector<std::pair<std::string, std::string>>& Items() const { return items_; }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

}  // namespace qorvel
