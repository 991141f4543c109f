#include "connect/frame_divide.h"

#include <string_view>

namespace qorvel {

void DivideAtFrameStart(TComponent*, const std::string&, std::uint8_t aChannel, std::string& aText,
                        int& I, bool& aDivide) {
  if (aChannel != 1 && aChannel != 2) return;
  if (I < 1 || static_cast<std::size_t>(I) > aText.size()) return;
  if (std::string_view(aText).substr(static_cast<std::size_t>(I) - 1, 5) == "<STX>") aDivide = true;
}

}  // namespace qorvel
