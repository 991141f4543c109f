#include "config/config.h"

#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/file_replace.h"
#include "config/settings.h"
#include "config/switches.h"
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

std::string HomeDirectory() {
  if (const char* home = ::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
  if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_dir != nullptr) {
    return user->pw_dir;
  }
  return "";
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

bool InBuildTree(const std::string& aProgramDirectory) {
  // The programs of a build tree sit at its top or a level or two below it.
  std::string folder = aProgramDirectory;
  for (int up = 0; up < 3 && !folder.empty(); ++up) {
    struct stat st;
    if (::stat((folder + "CMakeCache.txt").c_str(), &st) == 0) return true;
    if (folder == "/") break;
    folder.pop_back();
    folder.erase(folder.rfind('/') + 1);
  }
  return false;
}

std::string UserFolder(const char* aVariable, const char* aFallback) {
  if (const char* xdg = ::getenv(aVariable); xdg != nullptr && xdg[0] == '/') return xdg;
  return HomeDirectory() + aFallback;
}

TIniFile ConfigFileFor(const std::string& aProgramDirectory) {
  if (InBuildTree(aProgramDirectory)) return TIniFile(aProgramDirectory + "EMI.INI");
  return TIniFile(UserFolder("XDG_CONFIG_HOME", "/.config") + "/qorvel/EMI.INI", true);
}

TIniFile OpenConfig() {
  std::string path;
  if (GetSwitch("I:", swUpperValue, path)) return TIniFile(std::move(path));
  return ConfigFileFor(AppDirectory());
}

namespace {

std::string FolderOf(const std::string& aPath) {
  const size_t slash = aPath.rfind('/');
  return slash == std::string::npos ? std::string() : aPath.substr(0, slash + 1);
}

}  // namespace

std::string DefaultHistoryPath(const std::string& aIniPath, bool aBuildTree) {
  if (aBuildTree) return FolderOf(aIniPath) + "messages.db";
  std::string base;
  if (const char* xdg = ::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    base = HomeDirectory() + "/.local/share";
  }
  return base + "/qorvel/messages.db";
}

std::string HistoryFile(const TIniFile& aIni, bool aBuildTree) {
  const TTextSetting& key = settings::kHistoryFile;
  // No value can hold a line break: it tells a missing key from an empty one.
  const std::string value = aIni.ReadString(key.Section, key.Key, "\n");
  if (value == "\n") return DefaultHistoryPath(aIni.FileName(), aBuildTree);
  std::string path = TrimBlanks(value);
  if (path.empty()) return path;
  if (path[0] != '/') path = FolderOf(aIni.FileName()) + path;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw EIniFileError(aIni.FileName() + " [" + std::string(key.Section) + "] " +
                        std::string(key.Key) + ": \"" + value + "\" is a folder, not a file");
  return path;
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
