#include "connect/file_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "connect/log_file.h"
#include "test_connections.h"

namespace qorvel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::Journal;
using testing::RecordEvents;

class FileLoggerTest : public ::testing::Test {
 protected:
  FileLoggerTest() {
    std::string pattern = (fs::temp_directory_path() / "qorvel-log-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary directory");
    dir = pattern;
  }
  ~FileLoggerTest() override { fs::remove_all(dir); }

  static std::string Contents(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Whether another writer could take the file now.
  static bool Writable(const fs::path& p) {
    try {
      TLogFile other(p.string());
      return true;
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EWOULDBLOCK) << e.what();
      return false;
    }
  }
  // A plain logger that writes its texts as they are.
  static void Plain(TFileLogger& logger) {
    logger.SetLogFlags({});
    logger.SetMaxLineLength(0);
  }

  fs::path dir;
};

TEST_F(FileLoggerTest, AutoOpenHoldsTheFileOnlyAroundEachText) {
  const fs::path file = dir / "log.txt";
  TFileLogger logger;
  Plain(logger);
  logger.SetAutoOpen(true);
  logger.SetLogFile(file.string());
  EXPECT_FALSE(fs::exists(file));
  int opens = 0;
  logger.AfterOpen = [&](TConnection*) {
    ++opens;
    EXPECT_TRUE(fs::exists(file));
    EXPECT_FALSE(Writable(file)) << "the open log file is not locked";
  };
  logger.WriteLog("EMI", 1, "one;");
  EXPECT_FALSE(logger.Active());
  EXPECT_TRUE(Writable(file));
  logger.WriteLog("EMI", 1, "two;");
  EXPECT_EQ(Contents(file), "one;two;");
  fs::remove(file);
  logger.WriteLog("EMI", 1, "three;");
  EXPECT_EQ(Contents(file), "three;");
  EXPECT_EQ(opens, 3);
}

TEST_F(FileLoggerTest, OpenLoggerAppendsAndKeepsOtherWritersOut) {
  const fs::path file = dir / "log.txt";
  std::ofstream(file, std::ios::binary) << "earlier\r\n";
  TFileLogger logger;
  Plain(logger);
  logger.SetLogFile(file.string());
  logger.Open();
  logger.WriteLog("EMI", 1, "a");
  logger.WriteLog("EMI", 1, "b");
  // Readers are not excluded.
  EXPECT_EQ(Contents(file), "earlier\r\nab");
  EXPECT_FALSE(Writable(file));
  logger.Close();
  EXPECT_TRUE(Writable(file));
}

TEST_F(FileLoggerTest, ASecondWriterGetsTheSystemError) {
  const fs::path file = dir / "log.txt";
  TFileLogger first;
  Plain(first);
  first.SetLogFile(file.string());
  first.Open();
  TFileLogger second;
  Plain(second);
  second.SetAutoOpen(true);
  second.SetLogFile(file.string());
  try {
    second.WriteLog("EMI", 1, "refused");
    FAIL() << "a second writer was let in";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EWOULDBLOCK);
    EXPECT_THAT(e.what(), HasSubstr(file.string()));
    EXPECT_THAT(e.what(), HasSubstr(std::strerror(EWOULDBLOCK)));
  }
  EXPECT_FALSE(second.Active());
  first.WriteLog("EMI", 1, "first");
  first.Close();
  second.WriteLog("EMI", 1, ",second");
  EXPECT_EQ(Contents(file), "first,second");
}

TEST_F(FileLoggerTest, AnotherProcessIsRefusedToo) {
  const fs::path file = dir / "log.txt";
  TFileLogger logger;
  logger.SetLogFile(file.string());
  logger.Open();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      TLogFile other(file.string());
      _exit(0);
    } catch (const std::system_error& e) {
      _exit(e.code().value() == EWOULDBLOCK ? 1 : 2);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(FileLoggerTest, AMissingDirectoryFailsAndTheNextTextTriesAgain) {
  const fs::path file = dir / "missing" / "log.txt";
  TFileLogger logger;
  Plain(logger);
  logger.SetAutoOpen(true);
  logger.SetLogFile(file.string());
  Journal j;
  RecordEvents(logger, j);
  try {
    logger.WriteLog("EMI", 1, "lost");
    FAIL() << "writing into a missing directory succeeded";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_THAT(e.what(), HasSubstr(file.string()));
  }
  EXPECT_FALSE(logger.Active());
  EXPECT_THAT(j, ElementsAre("BeforeOpen"));
  fs::create_directory(dir / "missing");
  logger.WriteLog("EMI", 1, "kept");
  EXPECT_EQ(Contents(file), "kept");
}

TEST_F(FileLoggerTest, AFullDeviceReachesTheCaller) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TFileLogger logger;
  Plain(logger);
  logger.SetAutoOpen(true);
  logger.SetLogFile("/dev/full");
  try {
    logger.WriteLog("EMI", 1, "lost");
    FAIL() << "a failed write was reported as success";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_space_on_device);
  }
  EXPECT_FALSE(logger.Active());
}

TEST_F(FileLoggerTest, ChangingTheFileOfAnOpenLoggerMovesTheOutput) {
  const fs::path a = dir / "a.txt", b = dir / "b.txt";
  TFileLogger logger;
  Plain(logger);
  logger.SetLogFile(a.string());
  logger.Open();
  Journal j;
  RecordEvents(logger, j);
  logger.WriteLog("EMI", 1, "to a");
  logger.SetLogFile(a.string());
  EXPECT_THAT(j, IsEmpty());
  logger.SetLogFile(b.string());
  EXPECT_THAT(j, ElementsAre("BeforeOpen", "AfterOpen"));
  EXPECT_TRUE(logger.Active());
  EXPECT_EQ(logger.LogFile(), b.string());
  EXPECT_TRUE(Writable(a));
  EXPECT_FALSE(Writable(b));
  logger.WriteLog("EMI", 1, "to b");
  EXPECT_EQ(Contents(a), "to a");
  EXPECT_EQ(Contents(b), "to b");

  j.clear();
  logger.SetLogFile("");
  EXPECT_THAT(j, IsEmpty());
  EXPECT_FALSE(logger.Active());
  EXPECT_TRUE(Writable(b));
  logger.WriteLog("EMI", 1, "dropped");
  EXPECT_EQ(Contents(b), "to b");
}

TEST_F(FileLoggerTest, ChangingTheFileOfAClosedLoggerOnlyStoresIt) {
  const fs::path a = dir / "a.txt";
  TFileLogger logger;
  Journal j;
  RecordEvents(logger, j);
  logger.SetLogFile(a.string());
  EXPECT_FALSE(logger.Active());
  EXPECT_FALSE(fs::exists(a));
  EXPECT_THAT(j, IsEmpty());
}

TEST_F(FileLoggerTest, LoadingStoresTheFileAndOpensAtTheEnd) {
  const fs::path a = dir / "a.txt";
  TFileLogger logger;
  logger.BeginLoading();
  logger.SetActive(true);
  logger.SetLogFile(a.string());
  EXPECT_FALSE(logger.Active());
  EXPECT_FALSE(fs::exists(a));
  logger.EndLoading();
  EXPECT_TRUE(logger.Active());
  EXPECT_FALSE(Writable(a));
}

TEST_F(FileLoggerTest, DestroyingAnOpenLoggerReleasesTheFile) {
  const fs::path a = dir / "a.txt";
  {
    TFileLogger logger;
    logger.SetLogFile(a.string());
    logger.Open();
    EXPECT_FALSE(Writable(a));
  }
  EXPECT_TRUE(Writable(a));
}

// The traffic log holds the login frame, so only its owner may read it,
// whatever the process's umask allows.
TEST_F(FileLoggerTest, ANewLogFileIsReadableByItsOwnerOnly) {
  const fs::path file = dir / "log.txt";
  const mode_t saved = ::umask(0);
  TFileLogger logger;
  logger.SetAutoOpen(true);
  logger.SetLogFile(file.string());
  logger.WriteLog("EMI", 1, "<STX>00/00050/O/60/user/6/5/1/7365637265/0100//////AB<ETX>");
  ::umask(saved);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(FileLoggerTest, AnExistingLogReadableByOthersIsNarrowedAtOpen) {
  const fs::path file = dir / "old.log";
  { std::ofstream(file) << "from an older version\n"; }
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
  TFileLogger logger;
  logger.SetAutoOpen(true);
  logger.SetLogFile(file.string());
  logger.WriteLog("EMI", 1, "<STX>00/00050/O/60/user/6/5/1/7365637265/0100//////AB<ETX>");
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(FileLoggerTest, AnEmptyFileNameMeansNoLogFile) {
  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  TFileLogger logger;
  Plain(logger);
  logger.SetAutoOpen(true);
  EXPECT_NO_THROW(logger.WriteLog("EMI", 1, "nowhere"));
  EXPECT_FALSE(logger.Active());
  logger.SetAutoOpen(false);
  EXPECT_NO_THROW(logger.Open());
  EXPECT_NO_THROW(logger.WriteLog("EMI", 1, "nowhere"));
  logger.Close();
  fs::current_path(cwd);
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(FileLoggerTest, NulIsTheSharedNullDevice) {
  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  TFileLogger first, second;
  first.SetLogFile("NUL");
  second.SetLogFile("nul");
  first.Open();
  EXPECT_NO_THROW(second.Open());
  first.WriteLog("EMI", 1, "nothing");
  second.WriteLog("EMI", 1, "nothing");
  fs::current_path(cwd);
  EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace
}  // namespace qorvel
