// Feeds arbitrary INI files to the configuration reader and editor, arbitrary
// texts to the integer reader and the password scrambler, and arbitrary
// command lines to the switch scanner, checking what must hold for every
// input: readers agree with each other, a value written is read back, the
// scrambler is its own inverse, and the scanner finds exactly the matching
// parameter.
//
// The input is split at NUL bytes: the file, a section, a key, a value, then
// the command-line parameters. Its first byte also gives the scanner's flags.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "config/ini_edit.h"
#include "config/ini_file.h"
#include "config/switches.h"
#include "emi/text.h"

namespace {

using namespace qorvel;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

const std::string& ScratchFile() {
  static const std::string path = [] {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string name = std::string(dir) + "/qorvel-config-fuzz-XXXXXX";
    int fd = ::mkstemp(name.data());
    Require(fd >= 0);
    ::close(fd);
    std::atexit([] { ::unlink(ScratchFile().c_str()); });
    return name;
  }();
  return path;
}

void WriteScratch(std::string_view aContent) {
  std::FILE* f = std::fopen(ScratchFile().c_str(), "wb");
  Require(f != nullptr);
  Require(std::fwrite(aContent.data(), 1, aContent.size(), f) == aContent.size());
  std::fclose(f);
}

std::string_view TrimIniBlanks(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Capped(std::string_view s) {
  return std::string(s.substr(0, kIniMaxValueLength));
}

void FuzzReader(std::string_view aContent, std::string_view aSection, std::string_view aKey) {
  WriteScratch(aContent);
  TIniFile ini(ScratchFile());
  const std::string missing = "\x01missing";
  const std::string text = ini.ReadString(aSection, aKey, missing);
  Require(text.size() <= kIniMaxValueLength);
  const int number = ini.ReadInteger(aSection, aKey, 12345);
  if (text == missing) Require(number == 12345);
  if (text != missing && text.size() < kIniMaxValueLength)
    Require(number == IniTextToInt(text, 12345));
  Require(ini.ReadBool(aSection, aKey, true) == (ini.ReadInteger(aSection, aKey, 1) != 0));

  for (const std::string& entry : ini.ReadSectionValues(aSection)) {
    const std::size_t eq = entry.find('=');
    Require(eq != std::string::npos && eq + 1 < entry.size());
    const std::string key = entry.substr(0, eq), value = entry.substr(eq + 1);
    if (value.size() < kIniMaxValueLength) Require(ini.ReadString(aSection, key, "") == value);
  }
}

void FuzzEditor(std::string_view aContent, std::string_view aSection, std::string_view aKey,
                std::string_view aValue) {
  if (!IsStorableIniEntry(aSection, aKey, aValue)) return;
  WriteScratch(SetIniValue(aContent, aSection, aKey, aValue));
  TIniFile ini(ScratchFile());
  // Blanks around names and values are stored but not read back.
  Require(ini.ReadString(TrimIniBlanks(aSection), TrimIniBlanks(aKey), "\x01missing") ==
          Capped(TrimIniBlanks(aValue)));
}

void FuzzTexts(std::string_view aText) {
  const int value = IniTextToInt(aText, 7);
  if (value != 7) Require(IniTextToInt(std::to_string(value), 8) == value);
  const std::string scrambled = ScramblePassword(aText);
  Require(scrambled.size() == aText.size());
  Require(ScramblePassword(scrambled) == aText);
}

bool IsSwitch(const std::string& aParameter) {
  return !aParameter.empty() && (aParameter[0] == '-' || aParameter[0] == '/');
}

void FuzzSwitches(std::vector<std::string> aArguments, std::string_view aName, unsigned aFlags) {
  aArguments.insert(aArguments.begin(), "program");
  SetCommandLine(aArguments);
  const TSwitchFlags flags = aFlags & (swCaseSensitive | swUpperValue | swLowerValue);
  std::string value = "\x01unchanged";
  const bool found = GetSwitch(aName, flags, value);
  Require(found == FindSwitch(aName, flags));
  // Which parameter answers, from first principles.
  const std::string name =
      (flags & swCaseSensitive) ? std::string(aName) : AsciiUpper(std::string(aName));
  const std::string* expected = nullptr;
  for (std::size_t i = 1; i < aArguments.size() && !expected; ++i) {
    const std::string& p = aArguments[i];
    if (name.empty()) {
      if (!IsSwitch(p)) expected = &p;
    } else if (IsSwitch(p)) {
      std::string head = p.substr(1, name.size());
      if (!(flags & swCaseSensitive)) head = AsciiUpper(head);
      if (head == name) expected = &p;
    }
  }
  Require(found == (expected != nullptr));
  if (!found) {
    Require(value == "\x01unchanged");
  } else {
    Require(value == (name.empty() ? *expected : expected->substr(1 + name.size())));
  }

  std::string path;
  const bool named = GetSwitch("I:", 0, path);
  Require(named ? OpenConfig().FileName() == path
                : OpenConfig().FileName() == AppDirectory() + "EMI.INI");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned flags = data[0];
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> parts;
  for (;;) {
    const std::size_t nul = input.find('\0');
    parts.emplace_back(input.substr(0, nul));
    if (nul == std::string_view::npos) break;
    input.remove_prefix(nul + 1);
  }
  parts.resize(std::max<std::size_t>(parts.size(), 4));
  FuzzReader(parts[0], parts[1], parts[2]);
  FuzzEditor(parts[0], parts[1], parts[2], parts[3]);
  FuzzTexts(parts[3]);
  FuzzSwitches({parts.begin() + 4, parts.end()}, parts[1], flags);
  return 0;
}
