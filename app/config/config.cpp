#include "app/config/config.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "app/config/switches.h"
#include "emi/text.h"

namespace qorvel {

namespace {

std::string ProgramPath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n > 0) return std::string(buffer, static_cast<size_t>(n));
  // Without /proc the program's name as started is the best remaining guess.
  std::string argv0 = ParamStr(0);
  if (::realpath(argv0.c_str(), buffer) != nullptr) return buffer;
  return argv0;
}

}  // namespace

std::string AppDirectory() {
  std::string path = ProgramPath();
  size_t slash = path.rfind('/');
  std::string directory;
  if (slash != std::string::npos) {
    directory = path.substr(0, slash);
  } else if (char cwd[PATH_MAX]; ::getcwd(cwd, sizeof cwd) != nullptr) {
    directory = cwd;
  }
  if (directory.empty() || directory.back() != '/') directory += '/';
  return directory;
}

TIniFile OpenConfig() {
  std::string path = AppDirectory() + "EMI.INI";
  GetSwitch("I:", swUpperValue, path);
  return TIniFile(std::move(path));
}

std::string ScramblePassword(std::string_view Text) {
  std::string result = ReverseText(Text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>('a' + 'z' - c);
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>('A' + 'Z' - c);
    } else if (c >= '0' && c <= '9') {
      c = static_cast<char>('0' + '9' - c);
    }
  }
  return result;
}

}  // namespace qorvel
