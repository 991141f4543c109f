#pragma once
// What a logger needs of a log view. The GUI's terminal implements it; the core
// never sees the widget. Both calls may come from any thread and must not block
// on the main thread.
#include <string_view>

namespace qorvel {

class ILogView {
 public:
  virtual ~ILogView() = default;
  // Characters of a teletype-like stream (CR, LF and BS take effect).
  virtual void AddChars(std::string_view text) = 0;
  // One complete line of its own.
  virtual void AddLine(std::string_view line) = 0;
};

}  // namespace qorvel
