#pragma once
// The program's command line and a small scanner for its switches (a
// parameter that starts with "-" or "/").
//
// The parameters are those set by SetCommandLine(); until it is called, the
// process's own command line. Parameter 0 is the program, the scanned ones are
// 1 to ParamCount(). The scanner keeps one position, a parameter index shared
// by all callers and threads, starting at 1; calls are serialised.
#include <string>
#include <string_view>
#include <vector>

namespace qorvel {

enum TSwitchFlag : unsigned {
  // Compare names exactly; otherwise both sides are upper-cased first.
  swCaseSensitive = 1,
  // With swConvertValue: the value is upper-cased.
  swUpperValue = 2,
  // With swConvertValue and without swUpperValue: the value is lower-cased.
  swLowerValue = 4,
  // Go on from the current position instead of the first parameter.
  swContinue = 8,
  swConvertValue = 16,
};
using TSwitchFlags = unsigned;

// Replaces the command line (argv[0] the program) and resets the position.
void SetCommandLine(int argc, const char* const* argv);
void SetCommandLine(std::vector<std::string> aArguments);

int ParamCount();
// Empty when aIndex is out of range.
std::string ParamStr(int aIndex);

// The next parameter that is the switch Name (matched as a prefix of what
// follows the switch character), or, for an empty Name, the next parameter
// that is not a switch. On success the position stays at the parameter found.
bool FindSwitch(std::string_view Name, TSwitchFlags Flags);

// FindSwitch, then Value := the parameter without its switch character and
// Name (the whole parameter for an empty Name), converted as Flags say. Value
// is left alone when nothing is found.
bool GetSwitch(std::string_view Name, TSwitchFlags Flags, std::string& Value);

}  // namespace qorvel
