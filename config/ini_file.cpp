// SimpleIni is used header-only and without character conversion, so that
// every octet of a value passes unchanged.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "config/ini_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "config/file_replace.h"
#include "config/ini_edit.h"

namespace qorvel {

namespace {

// Writes are read-modify-replace; two of them at once must not lose one.
std::mutex writeMutex;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view digits, int& out) {
  if (digits.empty()) return false;
  uint64_t value = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return false;
    value = value * 16 + static_cast<uint64_t>(d);
    if (value > 0xFFFFFFFFu) return false;
  }
  out = static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(value)));
  return true;
}

bool ParseDecimal(std::string_view text, int& out) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  out = static_cast<int>(value);
  return true;
}

// The file as the reader sees it; empty when it is missing or unreadable.
class TLoadedIni {
 public:
  explicit TLoadedIni(const std::string& path) {
    ini_.SetUnicode(false);
    ini_.SetMultiKey(false);
    ini_.SetMultiLine(false);
    ini_.SetQuotes(false);
    std::string content;
    if (ReadWholeFile(path, content) == TFileRead::Ok) ini_.LoadData(content);
  }

  const char* Value(std::string_view section, std::string_view key) const {
    return ini_.GetValue(std::string(section).c_str(), std::string(key).c_str(), nullptr);
  }

  std::vector<std::string> SectionValues(std::string_view section) const {
    CSimpleIniA::TNamesDepend keys;
    std::vector<std::string> result;
    std::string name(section);
    if (!ini_.GetAllKeys(name.c_str(), keys)) return result;
    keys.sort(CSimpleIniA::Entry::LoadOrder());
    for (const auto& key : keys) {
      const char* value = ini_.GetValue(name.c_str(), key.pItem, nullptr);
      if (value == nullptr || *value == '\0') continue;
      std::string v(value);
      if (v.size() > kIniMaxValueLength) v.resize(kIniMaxValueLength);
      result.push_back(std::string(key.pItem) + "=" + v);
    }
    return result;
  }

 private:
  CSimpleIniA ini_;
};

bool IsPasswordKey(std::string_view key) {
  while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
  constexpr std::string_view kPassword = "password";
  if (key.size() != kPassword.size()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    char c = key[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPassword[i]) return false;
  }
  return true;
}

// Creates every missing folder on the way to `path`'s folder, each 0700.
bool CreateFolders(const std::string& path) {
  size_t slash = path.find('/', 1);
  while (slash != std::string::npos) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    slash = path.find('/', slash + 1);
  }
  return true;
}

}  // namespace

int IniTextToInt(std::string_view aText, int aDefault) {
  int value;
  if (!aText.empty() && aText.front() == '$') {
    return ParseHex(aText.substr(1), value) ? value : aDefault;
  }
  if (aText.size() > 2 && aText[0] == '0' && (aText[1] == 'x' || aText[1] == 'X')) {
    return ParseHex(aText.substr(2), value) ? value : aDefault;
  }
  return ParseDecimal(aText, value) ? value : aDefault;
}

std::string TIniFile::ReadString(std::string_view aSection, std::string_view aIdent,
                                 std::string_view aDefault) const {
  TLoadedIni ini(fileName_);
  const char* value = ini.Value(aSection, aIdent);
  std::string result = value != nullptr ? std::string(value) : std::string(aDefault);
  if (result.size() > kIniMaxValueLength) result.resize(kIniMaxValueLength);
  return result;
}

int TIniFile::ReadInteger(std::string_view aSection, std::string_view aIdent, int aDefault) const {
  TLoadedIni ini(fileName_);
  const char* value = ini.Value(aSection, aIdent);
  return value != nullptr ? IniTextToInt(value, aDefault) : aDefault;
}

bool TIniFile::ReadBool(std::string_view aSection, std::string_view aIdent, bool aDefault) const {
  return ReadInteger(aSection, aIdent, aDefault ? 1 : 0) != 0;
}

std::vector<std::string> TIniFile::ReadSectionValues(std::string_view aSection) const {
  return TLoadedIni(fileName_).SectionValues(aSection);
}

void TIniFile::WriteString(std::string_view aSection, std::string_view aIdent,
                           std::string_view aValue) {
  const std::string failure = "Unable to write to " + fileName_;
  if (!IsStorableIniEntry(aSection, aIdent, aValue)) throw EIniFileError(failure);
  std::lock_guard<std::mutex> lock(writeMutex);
  std::string content;
  // A file that exists but cannot be read must not be replaced by one that
  // holds only this key.
  if (ReadWholeFile(fileName_, content) == TFileRead::Failed) throw EIniFileError(failure);
  if (createFolder_ && !CreateFolders(fileName_)) throw EIniFileError(failure);
  // The password is stored merely scrambled: nobody else may read it.
  if (!ReplaceWholeFile(fileName_, SetIniValue(content, aSection, aIdent, aValue),
                        IsPasswordKey(aIdent))) {
    throw EIniFileError(failure);
  }
}

void TIniFile::WriteInteger(std::string_view aSection, std::string_view aIdent, int aValue) {
  WriteString(aSection, aIdent, std::to_string(aValue));
}

void TIniFile::WriteBool(std::string_view aSection, std::string_view aIdent, bool aValue) {
  WriteString(aSection, aIdent, aValue ? "1" : "0");
}

}  // namespace qorvel
