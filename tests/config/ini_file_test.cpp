#include "config/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace qorvel {
namespace {

using testing::ReadText;
using testing::TTempDir;
using testing::WriteText;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

class IniFileTest : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string path = dir.File("EMI.INI");
  TIniFile ini{path};
};

TEST_F(IniFileTest, NamesMatchInAnyCase) {
  WriteText(path, "[Emi.Connection]\nSMSC_Adc = 12345\n");
  EXPECT_EQ(ini.ReadString("EMI.CONNECTION", "smsc_adc", "none"), "12345");
  EXPECT_EQ(ini.ReadString("emi.connection", "SMSC_ADC", "none"), "12345");
  ini.WriteString("EMI.CONNECTION", "smsc_ADC", "999");
  // The key was rewritten in place, under the spelling the file had.
  EXPECT_EQ(ReadText(path), "[Emi.Connection]\nSMSC_Adc = 999\n");
}

TEST_F(IniFileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(ini.ReadString("EMI", "LogFile", "NUL"), "NUL");
  EXPECT_EQ(ini.ReadInteger("EMI", "ReconnectTimeout", 60), 60);
  EXPECT_TRUE(ini.ReadBool("EMI", "Binary", true));
  EXPECT_TRUE(ini.ReadSectionValues("EMI.Connection").empty());
  EXPECT_FALSE(std::filesystem::exists(path)) << "reading must not create the file";
  WriteText(path, "[EMI]\nIP=1\n");
  EXPECT_EQ(ini.ReadString("Other", "IP", "d"), "d");
  EXPECT_EQ(ini.ReadString("EMI", "Port", "d"), "d");
  EXPECT_EQ(ini.ReadString("EMI", "IP", "d"), "1");
}

TEST_F(IniFileTest, AStoredEmptyValueIsNotTheDefault) {
  WriteText(path, "[EMI]\nIP=\n");
  EXPECT_EQ(ini.ReadString("EMI", "IP", "d"), "");
}

TEST_F(IniFileTest, StringsAreCutTo2047Characters) {
  const std::string longText(3000, 'x');
  ini.WriteString("EMI", "Message", longText);
  EXPECT_EQ(ini.ReadString("EMI", "Message", ""), std::string(2047, 'x'));
  EXPECT_EQ(ini.ReadString("EMI", "Missing", longText), std::string(2047, 'x'));
  ini.WriteString("EMI", "Message", std::string(2047, 'y'));
  EXPECT_EQ(ini.ReadString("EMI", "Message", ""), std::string(2047, 'y'));
  ASSERT_EQ(ini.ReadSectionValues("EMI").size(), 1u);
  EXPECT_EQ(ini.ReadSectionValues("EMI")[0].size(), std::string("Message=").size() + 2047);
}

TEST_F(IniFileTest, OctetsPassUnchanged) {
  const std::string text = "caf\xE9 \x80\xFF;#[]=x";
  ini.WriteString("EMI", "Message", text);
  EXPECT_EQ(ini.ReadString("EMI", "Message", ""), text);
}

TEST(IniTextToInt, DecimalHexAndEverythingElse) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"0", 0},
      {"42", 42},
      {"-17", -17},
      {"+5", 5},
      {"007", 7},
      {"0x1F", 31},
      {"0X1f", 31},
      {"$FF", 255},
      {"$ff", 255},
      {"0x0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"$7FFFFFFF", 2147483647},
      {"$FFFFFFFF", -1},
      {"0x80000000", -2147483647 - 1},
      // Not numbers: the default (-99) comes back.
      {"", -99},
      {"abc", -99},
      {"12a", -99},
      {"1 2", -99},
      {"0x", -99},
      {"$", -99},
      {"0xG", -99},
      {"$-1", -99},
      {"-$10", -99},
      {"-0x10", -99},
      {"1.5", -99},
      {"-", -99},
      {"2147483648", -99},
      {"-2147483649", -99},
      {"$100000000", -99},
      {"99999999999999999999", -99},
  };
  for (const Case& c : cases) EXPECT_EQ(IniTextToInt(c.text, -99), c.expected) << c.text;
}

TEST_F(IniFileTest, IntegersAndBooleansReadAndWrite) {
  ini.WriteInteger("EMI", "Port", 3000);
  ini.WriteInteger("EMI", "Class", -4);
  EXPECT_EQ(ini.ReadString("EMI", "Port", ""), "3000");
  EXPECT_EQ(ini.ReadInteger("EMI", "Port", 0), 3000);
  EXPECT_EQ(ini.ReadInteger("EMI", "Class", 0), -4);

  // The setup dialog stores the port as typed; a non-number reads as 0.
  ini.WriteString("EMI", "Port", "30x0");
  EXPECT_EQ(ini.ReadInteger("EMI", "Port", 0), 0);
  ini.WriteString("EMI", "Port", "0x10");
  EXPECT_EQ(ini.ReadInteger("EMI", "Port", 0), 16);

  ini.WriteBool("EMI", "Binary", true);
  ini.WriteBool("EMI", "Notification.Delivered", false);
  EXPECT_EQ(ini.ReadString("EMI", "Binary", ""), "1");
  EXPECT_EQ(ini.ReadString("EMI", "Notification.Delivered", ""), "0");
  EXPECT_TRUE(ini.ReadBool("EMI", "Binary", false));
  EXPECT_FALSE(ini.ReadBool("EMI", "Notification.Delivered", true));

  ini.WriteString("EMI", "Binary", "-3");
  EXPECT_TRUE(ini.ReadBool("EMI", "Binary", false));
  ini.WriteString("EMI", "Binary", "$0");
  EXPECT_FALSE(ini.ReadBool("EMI", "Binary", true));
  ini.WriteString("EMI", "Binary", "yes");
  EXPECT_TRUE(ini.ReadBool("EMI", "Binary", true));
  EXPECT_FALSE(ini.ReadBool("EMI", "Binary", false));
}

TEST_F(IniFileTest, SectionValuesInFileOrderWithoutEmptyOnes) {
  WriteText(path,
            "[EMI.Connection]\nUser=alice\nSMSC_ADC=\nPassword = zyx \n; note\n"
            "SMT_KEEPALIVE_INTERVAL=0\n[EMI]\nIP=1.2.3.4\n[emi.connection]\nextra=1\n");
  const std::vector<std::string> expected = {"User=alice", "Password=zyx",
                                             "SMT_KEEPALIVE_INTERVAL=0", "extra=1"};
  EXPECT_EQ(ini.ReadSectionValues("EMI.CONNECTION"), expected);
}

TEST_F(IniFileTest, NothingIsCached) {
  TIniFile other(path);
  ini.WriteString("EMI", "IP", "1.1.1.1");
  EXPECT_EQ(other.ReadString("EMI", "IP", ""), "1.1.1.1");
  WriteText(path, "[EMI]\nIP=2.2.2.2\n");
  EXPECT_EQ(ini.ReadString("EMI", "IP", ""), "2.2.2.2");
  other.WriteString("EMI", "Port", "7");
  EXPECT_EQ(ReadText(path), "[EMI]\nIP=2.2.2.2\nPort=7\n");
  std::filesystem::remove(path);
  EXPECT_EQ(ini.ReadString("EMI", "IP", "gone"), "gone");
}

TEST_F(IniFileTest, AWriteKeepsCommentsUnknownKeysAndLineEndings) {
  const std::string before =
      "; Qorvel settings\r\n\r\n[EMI]\r\n; the SMSC\r\nIP = 1.2.3.4\r\nColour=blue\r\n\r\n"
      "[EMI.Connection]\r\nUser=alice\r\nSomethingNew=1\r\n; trailing remark\r\n";
  WriteText(path, before);
  ini.WriteString("EMI", "IP", "5.6.7.8");
  ini.WriteInteger("EMI", "Port", 3000);
  ini.WriteString("EMI.Connection", "Password", "x");
  EXPECT_EQ(ReadText(path),
            "; Qorvel settings\r\n\r\n[EMI]\r\n; the SMSC\r\nIP = 5.6.7.8\r\nColour=blue\r\n"
            "Port=3000\r\n\r\n[EMI.Connection]\r\nUser=alice\r\nSomethingNew=1\r\nPassword=x\r\n"
            "; trailing remark\r\n");
}

TEST_F(IniFileTest, ACreatedFileIsForItsOwnerOnlyAnExistingOneKeepsItsMode) {
  const mode_t oldMask = ::umask(0);
  ini.WriteString("EMI", "IP", "1");
  ::umask(oldMask);
  EXPECT_EQ(ModeOf(path), 0600u);

  const std::string shared = dir.File("shared.ini");
  WriteText(shared, "[EMI]\nIP=1\n");
  ASSERT_EQ(::chmod(shared.c_str(), 0644), 0);
  TIniFile(shared).WriteString("EMI", "IP", "2");
  EXPECT_EQ(ModeOf(shared), 0644u);
  ASSERT_EQ(::chmod(shared.c_str(), 0640), 0);
  TIniFile(shared).WriteString("EMI", "Port", "3");
  EXPECT_EQ(ModeOf(shared), 0640u);
  EXPECT_EQ(ReadText(shared), "[EMI]\nIP=2\nPort=3\n");

  // A password, though scrambled, is for the owner's eyes only.
  ASSERT_EQ(::chmod(shared.c_str(), 0664), 0);
  TIniFile(shared).WriteString("EMI.Connection", " password ", "zyx");
  EXPECT_EQ(ModeOf(shared), 0600u);
}

// A file marked read-only stays as it is, although the folder would allow
// replacing it (and although this process may be privileged).
TEST_F(IniFileTest, AReadOnlyFileIsRefusedAndKept) {
  WriteText(path, "[EMI]\nIP=1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  try {
    ini.WriteString("EMI", "IP", "2");
    FAIL() << "a read-only file was rewritten";
  } catch (const EIniFileError& e) {
    EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
  }
  EXPECT_EQ(ReadText(path), "[EMI]\nIP=1\n");
  EXPECT_EQ(ModeOf(path), 0444u);
}

// Beside an installed program the folder may be closed while the file is
// open to its user: the file is rewritten in place there.
TEST_F(IniFileTest, AWritableFileInAClosedFolderIsRewrittenInPlace) {
  WriteText(path, "[EMI]\nIP=1.2.3.4\nPort=5\n");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  ini.WriteString("EMI", "IP", "1");
  ini.WriteString("EMI.Connection", "Password", "zyx");
  EXPECT_THROW(TIniFile(dir.File("new.ini")).WriteString("EMI", "IP", "1"), EIniFileError);
  ::chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(ReadText(path), "[EMI]\nIP=1\nPort=5\n[EMI.Connection]\nPassword=zyx\n");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(std::filesystem::exists(dir.File("new.ini")));
}

TEST_F(IniFileTest, AWriteLeavesNoTemporaryFileBehind) {
  for (int i = 0; i < 5; ++i) ini.WriteInteger("EMI", "Port", i);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
    EXPECT_EQ(entry.path().filename(), "EMI.INI");
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(IniFileTest, ASymbolicLinkStaysAndItsTargetIsRewritten) {
  const std::string real = dir.File("real.ini");
  WriteText(real, "[EMI]\nIP=1\n");
  ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
  ini.WriteString("EMI", "IP", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_EQ(ReadText(real), "[EMI]\nIP=2\n");
}

TEST_F(IniFileTest, ARefusedWriteRaisesUnableToWrite) {
  const std::string nowhere = dir.File("missing-dir/EMI.INI");
  TIniFile lost(nowhere);
  try {
    lost.WriteString("EMI", "IP", "1");
    FAIL() << "the write was reported as done";
  } catch (const EIniFileError& e) {
    EXPECT_STREQ(e.what(), ("Unable to write to " + nowhere).c_str());
  }
  EXPECT_THROW(lost.WriteInteger("EMI", "Port", 1), EIniFileError);
  EXPECT_THROW(lost.WriteBool("EMI", "Binary", true), EIniFileError);

  // A parent that is a file: every write fails the same way.
  WriteText(dir.File("plain"), "x");
  EXPECT_THROW(TIniFile(dir.File("plain/EMI.INI")).WriteString("EMI", "IP", "1"), EIniFileError);
}

TEST_F(IniFileTest, AFileThatCannotBeReadIsNeverReplaced) {
  // A directory stands for a file the process may not read (root reads any
  // plain file, whatever its mode).
  std::filesystem::create_directory(path);
  EXPECT_EQ(ini.ReadString("EMI", "IP", "d"), "d");
  EXPECT_THROW(ini.WriteString("EMI", "IP", "1"), EIniFileError);
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST_F(IniFileTest, AWriteNearAnUnclosedSectionNameIsReadBack) {
  // The reader files the keys behind "[b" under a name it never closed, and a
  // "[" with nothing behind it takes its name from the next line that is not
  // blank, even when that line looks like a header of its own.
  const std::vector<std::string> files = {
      "[EMI]\n[b\nIP=1\n", "[EMI]\n[\n\n[EMI]\nIP=1\n",    "[",
      "[EMI\nIP=1\n",      "\xEF\xBB\xBF[\n[EMI]\nIP=1\n",
  };
  for (const std::string& before : files) {
    WriteText(path, before);
    ini.WriteString("EMI", "IP", "9");
    EXPECT_EQ(ini.ReadString("EMI", "IP", "none"), "9") << before << "\nbecame\n" << ReadText(path);
  }
}

TEST_F(IniFileTest, AnEntryThatWouldChangeTheFileStructureIsRefused) {
  WriteText(path, "[EMI]\nIP=1\n[EMI.Connection]\nUser=alice\n");
  const std::string before = ReadText(path);
  try {
    ini.WriteString("EMI", "IP", "2\n[EMI.Connection]\nUser=mallory");
    FAIL() << "a value with a line break was written";
  } catch (const EIniFileError& e) {
    EXPECT_STREQ(e.what(), ("Unable to write to " + path).c_str());
  }
  EXPECT_THROW(ini.WriteString("EMI", "Port=1\nIP", "2"), EIniFileError);
  EXPECT_THROW(ini.WriteString("", "IP", "2"), EIniFileError);
  EXPECT_EQ(ReadText(path), before);
  EXPECT_EQ(ini.ReadString("EMI.Connection", "User", ""), "alice");
}

TEST_F(IniFileTest, ConcurrentWritersLoseNoKey) {
  constexpr int kThreads = 4, kKeys = 25;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      TIniFile own(path);
      for (int k = 0; k < kKeys; ++k) {
        own.WriteInteger("EMI", "K" + std::to_string(t) + "_" + std::to_string(k), k);
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(ini.ReadSectionValues("EMI").size(), size_t{kThreads * kKeys});
  EXPECT_EQ(ini.ReadInteger("EMI", "K3_24", -1), 24);
}

}  // namespace
}  // namespace qorvel
