#include "config/settings.h"

#include <string>

#include "emi/text.h"

namespace qorvel {

int ReadInRange(const TIniFile& aFile, const TIntSetting& aSetting, int aMin, int aMax) {
  const std::string text = TrimBlanks(aFile.ReadString(aSetting.Section, aSetting.Key, ""));
  if (text.empty()) return aSetting.Default;
  // Two different defaults tell "no number" from a number equal to one.
  const int value = IniTextToInt(text, aMin - 1);
  if (value < aMin || value > aMax || IniTextToInt(text, aMax + 1) != value)
    throw EIniFileError(aFile.FileName() + " [" + std::string(aSetting.Section) + "] " +
                        std::string(aSetting.Key) + ": \"" + text +
                        "\" is not a whole number from " + std::to_string(aMin) + " to " +
                        std::to_string(aMax));
  return value;
}

}  // namespace qorvel
