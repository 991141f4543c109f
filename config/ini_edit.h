#pragma once
// Line-level editing of INI text. A write changes only the lines it must, so
// comments, blank lines, unknown keys and the file's line endings stay as the
// user left them. The line grammar matches the reader's (SimpleIni): blanks
// around names and values are ignored, ";" and "#" start a comment, a key line
// needs a non-empty name before its first "=", names compare without regard
// to ASCII case, a "[" opens a section even when its "]" is missing, and a
// leading UTF-8 byte order mark is skipped. Pure functions; they never throw.
#include <string>
#include <string_view>

namespace qorvel {

// Whether the entry can be stored without changing the file's structure: no
// text holds a line break, names are not blank, a section name holds no "]",
// and a key holds no "=" and starts with none of ";", "#", "[". Blanks around
// a name or value are stored but, as with any INI reader, not read back.
bool IsStorableIniEntry(std::string_view aSection, std::string_view aKey, std::string_view aValue);

// `aContent` with key `aKey` of section `aSection` set to `aValue`: every line
// that the reader takes for that key gets the new value; without one, a line
// "key=value" follows the section's last key, and without the section, the
// section is appended. Requires IsStorableIniEntry().
std::string SetIniValue(std::string_view aContent, std::string_view aSection, std::string_view aKey,
                        std::string_view aValue);

}  // namespace qorvel
