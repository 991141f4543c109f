#include "config/config.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "config/switches.h"
#include "temp_dir.h"

namespace qorvel {
namespace {

// Where this test program really lives, taken from the name it was started
// under before any test changes the current directory.
const std::string kProgramDirectory = [] {
  char resolved[PATH_MAX];
  if (::realpath(program_invocation_name, resolved) == nullptr) return std::string();
  return std::filesystem::path(resolved).parent_path().string() + "/";
}();

class TCurrentDirectory {
 public:
  explicit TCurrentDirectory(const std::string& path) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~TCurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(AppDirectory, IsTheProgramsDirectoryWhateverTheCurrentOne) {
  ASSERT_FALSE(kProgramDirectory.empty());
  testing::TTempDir elsewhere;
  EXPECT_EQ(AppDirectory(), kProgramDirectory);
  {
    TCurrentDirectory cd(elsewhere.path());
    EXPECT_EQ(AppDirectory(), kProgramDirectory);
  }
  {
    TCurrentDirectory cd("/");
    EXPECT_EQ(AppDirectory(), kProgramDirectory);
  }
}

TEST(OpenConfig, WithoutTheSwitchItIsEmiIniBesideTheProgram) {
  SetCommandLine({"qorvel", "/AUTOMATION", "-Ix.ini", "config.ini"});
  testing::TTempDir elsewhere;
  TCurrentDirectory cd(elsewhere.path());
  EXPECT_EQ(OpenConfig().FileName(), kProgramDirectory + "EMI.INI");
}

TEST(OpenConfig, TheFirstISwitchNamesTheFileExactlyAsWritten) {
  testing::TTempDir dir;
  const std::string first = dir.File("First Name.Ini");
  const std::string second = dir.File("second.ini");
  SetCommandLine({"qorvel", "-X", "-i:" + first, "/I:" + second});
  TIniFile config = OpenConfig();
  EXPECT_EQ(config.FileName(), first);
  // Opening reads nothing and creates nothing; the first write creates the file.
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_EQ(config.ReadString("EMI", "LogFile", "NUL"), "NUL");
  config.WriteString("EMI", "IP", "127.0.0.1");
  EXPECT_EQ(testing::ReadText(first), "[EMI]\nIP=127.0.0.1\n");
  EXPECT_FALSE(std::filesystem::exists(second));
  // Every open is a fresh look at the command line, from its first parameter.
  FindSwitch("", swContinue);
  EXPECT_EQ(OpenConfig().ReadString("emi", "ip", ""), "127.0.0.1");
}

TEST(ScramblePassword, ReversesAndMirrorsLettersAndDigits) {
  EXPECT_EQ(ScramblePassword("abc"), "xyz");
  EXPECT_EQ(ScramblePassword(""), "");
  EXPECT_EQ(ScramblePassword("AZaz09"), "09azAZ");
  EXPECT_EQ(ScramblePassword("0123456789"), "0123456789");
  EXPECT_EQ(ScramblePassword("12345"), "45678");
  // Everything outside the three ranges stays, at its mirrored place.
  EXPECT_EQ(ScramblePassword("a-b c!\xE9"), "\xE9!x y-z");
}

TEST(ScramblePassword, IsItsOwnInverseAndKeepsTheLength) {
  const std::string samples[] = {"secret", "Pa55w0rd!", std::string("\0a\x7F\xFF", 4), "   ",
                                 "MiXeD-123_xyz"};
  for (const std::string& s : samples) {
    const std::string stored = ScramblePassword(s);
    EXPECT_EQ(stored.size(), s.size());
    EXPECT_EQ(ScramblePassword(stored), s);
  }
  EXPECT_NE(ScramblePassword("secret"), "secret");
}

TEST(OpenConfig, ThePasswordIsStoredScrambledInAFileOnlyItsOwnerReads) {
  testing::TTempDir dir;
  const std::string path = dir.File("EMI.INI");
  SetCommandLine({"qorvel", "/I:" + path});
  OpenConfig().WriteString("EMI.Connection", "Password", ScramblePassword("Secret42"));
  EXPECT_EQ(testing::ReadText(path), "[EMI.Connection]\nPassword=75gvixvH\n");
  EXPECT_EQ(ScramblePassword(OpenConfig().ReadString("EMI.Connection", "PASSWORD", "")),
            "Secret42");
  EXPECT_EQ(std::filesystem::status(path).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// An installed program keeps its configuration in the user's configuration
// folder, even when its user (root) could write beside it; a program run
// from a build tree keeps it beside itself.
class ConfigBesideTheProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "HOME"}) {
      const char* value = ::getenv(name);
      saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    ::setenv("HOME", home.path().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  }
  void TearDown() override {
    ::chmod(program.path().c_str(), 0700);
    for (const auto& [name, value] : saved) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  std::string ProgramDirectory() const { return program.path() + "/"; }

  testing::TTempDir program, home, config;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(ConfigBesideTheProgram, ABuildTreeKeepsItBesideTheProgramAtAnyDepth) {
  testing::WriteText(program.File("CMakeCache.txt"), "");
  for (const std::string sub : {"", "tests/", "tools/bench/"}) {
    std::filesystem::create_directories(ProgramDirectory() + sub);
    EXPECT_EQ(ConfigFileFor(ProgramDirectory() + sub).FileName(),
              ProgramDirectory() + sub + "EMI.INI");
  }
  ASSERT_EQ(::chmod(program.path().c_str(), 0555), 0);
  EXPECT_EQ(ConfigFileFor(ProgramDirectory()).FileName(), ProgramDirectory() + "EMI.INI");
}

TEST_F(ConfigBesideTheProgram, AnInstalledProgramIgnoresAWritableFolderAndAFileBesideIt) {
  testing::WriteText(program.File("EMI.INI"), "[EMI]\nIP=127.0.0.1\n");
  EXPECT_EQ(ConfigFileFor(ProgramDirectory()).FileName(), config.path() + "/qorvel/EMI.INI");
}

TEST_F(ConfigBesideTheProgram, AClosedFolderSendsItToTheUsersConfigurationFolder) {
  ASSERT_EQ(::chmod(program.path().c_str(), 0555), 0);
  const std::string expected = config.path() + "/qorvel/EMI.INI";
  TIniFile ini = ConfigFileFor(ProgramDirectory());
  EXPECT_EQ(ini.FileName(), expected);
  EXPECT_EQ(ini.ReadString("EMI", "IP", "none"), "none");
  EXPECT_FALSE(std::filesystem::exists(config.path() + "/qorvel")) << "reading created it";
  ini.WriteString("EMI", "IP", "127.0.0.1");
  EXPECT_EQ(testing::ReadText(expected), "[EMI]\nIP=127.0.0.1\n");
  EXPECT_EQ(std::filesystem::status(config.path() + "/qorvel").permissions(),
            std::filesystem::perms::owner_all);

  // Without XDG_CONFIG_HOME (or with a relative one) it is ~/.config.
  for (const char* xdg : {static_cast<const char*>(nullptr), "relative/dir"}) {
    if (xdg) {
      ::setenv("XDG_CONFIG_HOME", xdg, 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    TIniFile fallback = ConfigFileFor(ProgramDirectory());
    EXPECT_EQ(fallback.FileName(), home.path() + "/.config/qorvel/EMI.INI");
    fallback.WriteInteger("EMI", "Port", 1);
    EXPECT_EQ(fallback.ReadInteger("EMI", "Port", 0), 1);
  }
  EXPECT_EQ(std::filesystem::status(home.path() + "/.config").permissions(),
            std::filesystem::perms::owner_all);

  // The switch still names any other file.
  SetCommandLine({"qorvel", "/I:" + program.File("other.ini")});
  EXPECT_EQ(OpenConfig().FileName(), program.File("other.ini"));
}

// The history's file: where [History] File says, empty when it says
// nothing, else beside EMI.INI in a build tree and in the user's data folder
// otherwise.
TEST_F(ConfigBesideTheProgram, TheHistoryFileIsTheKeysOrTheDefaultPlace) {
  const std::string ini = program.File("EMI.INI");
  struct TCase {
    const char* Line;  // of section [History]; nullptr: none
    bool BuildTree;
    const char* DataHome;  // nullptr: unset
    std::string Expected;
  };
  const std::vector<TCase> cases = {
      {nullptr, true, "/data", program.File("messages.db")},
      {nullptr, false, "/data", "/data/qorvel/messages.db"},
      {nullptr, false, nullptr, home.path() + "/.local/share/qorvel/messages.db"},
      {nullptr, false, "relative", home.path() + "/.local/share/qorvel/messages.db"},
      {"File=", false, "/data", ""},
      {"File= ", true, "/data", ""},
      {"File= history.db ", false, "/data", program.File("history.db")},
      {"File=/elsewhere/m.db", true, "/data", "/elsewhere/m.db"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Line ? c.Line : "no key");
    testing::WriteText(ini, c.Line ? std::string("[History]\n") + c.Line + "\n" : "");
    if (c.DataHome) {
      ::setenv("XDG_DATA_HOME", c.DataHome, 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
    EXPECT_EQ(HistoryFile(TIniFile(ini), c.BuildTree), c.Expected);
  }
  testing::WriteText(ini, "[History]\nFile=" + home.path() + "\n");
  try {
    HistoryFile(TIniFile(ini), true);
    FAIL() << "a folder was taken for the file";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              ini + " [History] File: \"" + home.path() + "\" is a folder, not a file");
  }
}

}  // namespace
}  // namespace qorvel
