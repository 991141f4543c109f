#include "connect/file_term_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "connect/frame_divide.h"

namespace qorvel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TFakeLogView : public ILogView {
 public:
  void AddChars(std::string_view text) override {
    std::lock_guard<std::mutex> guard(m_);
    calls.push_back("chars:" + std::string(text));
  }
  void AddLine(std::string_view line) override {
    std::lock_guard<std::mutex> guard(m_);
    calls.push_back("line:" + std::string(line));
  }
  std::vector<std::string> calls;

 private:
  std::mutex m_;
};

class FileTermLoggerTest : public ::testing::Test {
 protected:
  FileTermLoggerTest() {
    std::string pattern = (fs::temp_directory_path() / "qorvel-term-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("no temporary directory");
    dir = pattern;
    file = dir / "log.txt";
    logger.SetLogFile(file.string());
    logger.SetAutoOpen(true);
    logger.SetTerminal(&view);
  }
  ~FileTermLoggerTest() override { fs::remove_all(dir); }

  std::string Contents() const {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The traffic log as this system sets it up.
  void TrafficSettings() {
    logger.SetLogFlags({lfInsertChannel, lfDivideNames, lfDivideChannels, lfDivideStream});
    logger.SetMaxLineLength(0);
    logger.OnDivideStream = DivideAtFrameStart;
    logger.SetTermChar(true);
  }

  fs::path dir, file;
  TFakeLogView view;
  TFileTermLogger logger;
};

TEST_F(FileTermLoggerTest, CharacterStreamWhenTermCharIsSet) {
  logger.SetTermChar(true);
  logger.SetLogFlags({lfInsertChannel, lfDivideChannels});
  logger.WriteLog("EMI", 1, "ab");
  logger.WriteLog("EMI", 1, "c");
  EXPECT_THAT(view.calls, ElementsAre("chars:\r\n01) ab", "chars:c"));
  EXPECT_EQ(Contents(), "\r\n01) abc");
}

TEST_F(FileTermLoggerTest, OneLinePerTextWithoutTermChar) {
  EXPECT_FALSE(logger.TermChar());
  logger.SetLogFlags({});
  logger.WriteLog("EMI", 3, "Bad check sum");
  EXPECT_THAT(view.calls, ElementsAre("line:Bad check sum"));
  EXPECT_EQ(Contents(), "Bad check sum");
}

TEST_F(FileTermLoggerTest, AutoCRTextsGoAsCharactersEvenWithoutTermChar) {
  logger.SetLogFlags({lfAutoCR});
  logger.WriteLog("EMI", 3, "done");
  EXPECT_THAT(view.calls, ElementsAre("chars:done\r\n"));
  EXPECT_EQ(Contents(), "done\r\n");
}

TEST_F(FileTermLoggerTest, WithoutAViewOnlyTheFileIsWritten) {
  logger.SetTerminal(nullptr);
  logger.SetLogFlags({});
  logger.WriteLog("EMI", 1, "x");
  EXPECT_THAT(view.calls, IsEmpty());
  EXPECT_EQ(Contents(), "x");
}

TEST_F(FileTermLoggerTest, TrafficFramesStandOnLinesOfTheirOwnInFileAndView) {
  TrafficSettings();
  const std::string submit = "<STX>00/00041/O/51/0611223344/0123/////////////////3/41//////1E<ETX>";
  const std::string ack = "<STX>00/00039/R/51/A//0611223344:080126101507/A7<ETX>";
  logger.WriteLog("EMI", 1, submit);
  logger.WriteLog("EMI", 2, ack);
  logger.WriteLog("EMI", 2, ack);
  const std::string expected = "\r\n01) " + submit + "\r\n02) " + ack + "\r\n02) " + ack;
  EXPECT_EQ(Contents(), expected);
  std::string shown;
  for (const auto& call : view.calls) {
    ASSERT_EQ(call.rfind("chars:", 0), 0u) << call;
    shown += call.substr(6);
  }
  EXPECT_EQ(shown, expected);
}

TEST_F(FileTermLoggerTest, TextsFromSeveralThreadsKeepTheirLinesWhole) {
  TrafficSettings();
  constexpr int kThreads = 4, kTexts = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < kTexts; ++i)
        logger.WriteLog("EMI", 1,
                        "<STX>" + std::to_string(t) + "/" + std::to_string(i) + "/payload<ETX>");
    });
  for (auto& th : threads) th.join();
  const std::string log = Contents();
  std::set<std::string> lines;
  std::size_t pos = 0;
  ASSERT_EQ(log.rfind("\r\n", 0), 0u);
  while (pos < log.size()) {
    ASSERT_EQ(log.compare(pos, 2, "\r\n"), 0) << "at " << pos;
    const std::size_t next = log.find("\r\n", pos + 2);
    const std::string line = log.substr(pos + 2, next == std::string::npos ? next : next - pos - 2);
    EXPECT_THAT(line, ::testing::MatchesRegex("01\\) <STX>[0-9]+/[0-9]+/payload<ETX>"));
    lines.insert(line);
    pos = next == std::string::npos ? log.size() : next;
  }
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kTexts));
  EXPECT_EQ(view.calls.size(), static_cast<std::size_t>(kThreads * kTexts));
}

}  // namespace
}  // namespace qorvel
