#pragma once
// An INI profile file. The object holds only the path: every call opens the
// file, reads or rewrites it, and closes it again, so a change made through
// one object is seen by the next reader and nothing is cached. Section and key
// names match without regard to ASCII case. Texts are octets; nothing is
// converted.
//
// Readers never fail: a missing or unreadable file, section or key gives the
// default. Writers raise EIniFileError("Unable to write to <path>") when the
// file cannot be rewritten, or when the entry cannot be stored in it (a line
// break in a text, a blank name; see IsStorableIniEntry). A write replaces the
// file as a whole (see ReplaceWholeFile) and changes only the lines of the key
// it writes. A key named "Password" (any case) makes the file readable by its
// owner only.
//
// Any thread may use its own or a shared object; writes within the process
// are serialised so that concurrent writers do not undo each other.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qorvel {

class EIniFileError : public std::runtime_error {
 public:
  explicit EIniFileError(const std::string& message) : std::runtime_error(message) {}
};

// Longest string a reader returns.
inline constexpr size_t kIniMaxValueLength = 2047;

// The integer that an INI text stands for, or `aDefault` when it stands for
// none: optional sign and decimal digits; "$" and hex digits; "0x" or "0X" and
// hex digits when the text is longer than two characters. The value must fit
// into 32 bits (a hex text up to FFFFFFFF, read as two's complement).
int IniTextToInt(std::string_view aText, int aDefault);

class TIniFile {
 public:
  // With aCreateFolder, the first write creates the file's missing folders,
  // readable by their owner only.
  explicit TIniFile(std::string aFileName, bool aCreateFolder = false)
      : fileName_(std::move(aFileName)), createFolder_(aCreateFolder) {}

  const std::string& FileName() const { return fileName_; }

  // At most kIniMaxValueLength characters (of the value or the default).
  std::string ReadString(std::string_view aSection, std::string_view aIdent,
                         std::string_view aDefault) const;
  int ReadInteger(std::string_view aSection, std::string_view aIdent, int aDefault) const;
  // Read as an integer with default 0 or 1; any value but 0 is true.
  bool ReadBool(std::string_view aSection, std::string_view aIdent, bool aDefault) const;
  // "key=value" for every key of the section in file order, leaving out keys
  // whose value is empty.
  std::vector<std::string> ReadSectionValues(std::string_view aSection) const;

  void WriteString(std::string_view aSection, std::string_view aIdent, std::string_view aValue);
  void WriteInteger(std::string_view aSection, std::string_view aIdent, int aValue);
  void WriteBool(std::string_view aSection, std::string_view aIdent, bool aValue);

 private:
  std::string fileName_;
  bool createFolder_;
};

}  // namespace qorvel
