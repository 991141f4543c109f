#include "connect/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "connect/errors.h"
#include "connect/log_connection.h"
#include "test_connections.h"

namespace qorvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Journal;
using testing::RecordEvents;
using testing::TTestLogger;

class TPlainLogConnection : public TLogConnection {
 public:
  ~TPlainLogConnection() override { CloseForDestruction(); }

 protected:
  void DoOpen() override {}
  void DoClose() override {}
};

TEST(LoggerWriteLog, ClosedLoggerWithoutAutoOpenIgnoresEveryText) {
  Journal j;
  TTestLogger logger(j);
  RecordEvents(logger, j);
  bool filterAsked = false;
  logger.AcceptChannel = [&](TComponent*, const std::string&, std::uint8_t, bool&) {
    filterAsked = true;
  };
  logger.WriteLog("EMI", 1, "frame");
  EXPECT_THAT(logger.written, IsEmpty());
  EXPECT_THAT(j, IsEmpty());
  EXPECT_FALSE(filterAsked);
}

TEST(LoggerWriteLog, OpenLoggerWritesFormattedTextAndStaysOpen) {
  Journal j;
  TTestLogger logger(j);
  logger.Open();
  RecordEvents(logger, j);
  j.clear();
  logger.WriteLog("EMI", 2, "answer");
  EXPECT_THAT(logger.written, ElementsAre("EMI|2|answer"));
  EXPECT_THAT(j, ElementsAre("FormatText", "WriteText"));
  EXPECT_TRUE(logger.Active());
}

TEST(LoggerWriteLog, AutoOpenOpensAndClosesAroundEachText) {
  Journal j;
  TTestLogger logger(j);
  logger.SetAutoOpen(true);
  RecordEvents(logger, j);
  logger.WriteLog("EMI", 1, "a");
  logger.WriteLog("EMI", 3, "b");
  EXPECT_FALSE(logger.Active());
  EXPECT_THAT(logger.written, ElementsAre("EMI|1|a", "EMI|3|b"));
  const std::vector<std::string> once = {"BeforeOpen", "DoOpen",      "AfterOpen", "FormatText",
                                         "WriteText",  "BeforeClose", "DoClose",   "AfterClose"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(j, twice);
}

TEST(LoggerWriteLog, RefusingFilterStopsTheTextBeforeAnythingRuns) {
  Journal j;
  TTestLogger logger(j);
  logger.SetAutoOpen(true);
  RecordEvents(logger, j);
  std::vector<std::string> asked;
  logger.AcceptChannel = [&](TComponent* sender, const std::string& name, std::uint8_t channel,
                             bool& accept) {
    EXPECT_EQ(sender, &logger);
    EXPECT_TRUE(accept);
    asked.push_back(name + ":" + std::to_string(channel));
    accept = channel != 3;
  };
  logger.WriteLog("EMI", 3, "diagnostic");
  EXPECT_THAT(j, IsEmpty());
  EXPECT_THAT(logger.written, IsEmpty());
  logger.WriteLog("EMI", 1, "sent");
  EXPECT_THAT(logger.written, ElementsAre("EMI|1|sent"));
  EXPECT_THAT(asked, ElementsAre("EMI:3", "EMI:1"));
}

TEST(LoggerWriteLog, FilterRunsBeforeTheLockIsTaken) {
  Journal j;
  TTestLogger logger(j);
  logger.Open();
  std::promise<void> formatting, release;
  std::shared_future<void> released = release.get_future().share();
  logger.onFormat = [&] {
    formatting.set_value();
    released.wait();
  };
  std::thread holder([&] { logger.WriteLog("first", 1, "x"); });
  formatting.get_future().wait();
  // The first text holds the lock now. A refused text must not wait for it.
  std::atomic<int> asked{0};
  logger.AcceptChannel = [&](TComponent*, const std::string&, std::uint8_t, bool& accept) {
    ++asked;
    accept = false;
  };
  auto refused = std::async(std::launch::async, [&] { logger.WriteLog("refused", 1, "y"); });
  const bool returned = refused.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  release.set_value();
  holder.join();
  refused.wait();
  EXPECT_TRUE(returned) << "the filter waited for the logger's lock";
  EXPECT_EQ(asked.load(), 1);
  EXPECT_THAT(logger.written, ElementsAre("first|1|x"));
}

TEST(LoggerWriteLog, FailingWriteRestoresTheClosedStateAndReachesTheCaller) {
  Journal j;
  TTestLogger logger(j);
  logger.SetAutoOpen(true);
  logger.failWrite = true;
  EXPECT_THROW(logger.WriteLog("EMI", 1, "lost"), std::runtime_error);
  EXPECT_FALSE(logger.Active());
  EXPECT_THAT(j, ElementsAre("DoOpen", "FormatText", "WriteText", "DoClose"));
  // The lock was left: the next text goes through.
  logger.failWrite = false;
  logger.WriteLog("EMI", 1, "next");
  EXPECT_THAT(logger.written, ElementsAre("EMI|1|next"));
}

TEST(LoggerWriteLog, FailingOpenReachesTheCallerWithNothingWritten) {
  Journal j;
  TTestLogger logger(j);
  logger.SetAutoOpen(true);
  logger.failOpen = true;
  EXPECT_THROW(logger.WriteLog("EMI", 1, "lost"), std::runtime_error);
  EXPECT_FALSE(logger.Active());
  EXPECT_THAT(j, ElementsAre("DoOpen", "DoClose"));
  EXPECT_THAT(logger.written, IsEmpty());
}

TEST(LoggerWriteLog, OpenEventMayLogThroughTheSameLogger) {
  Journal j;
  TTestLogger logger(j);
  logger.SetAutoOpen(true);
  logger.AfterOpen = [&](TConnection*) { logger.WriteLog("LOG", 3, "opened"); };
  logger.WriteLog("EMI", 1, "text");
  EXPECT_THAT(logger.written, ElementsAre("LOG|3|opened", "EMI|1|text"));
  EXPECT_FALSE(logger.Active());
}

TEST(LoggerWriteLog, TextsFromSeveralThreadsAreAllWrittenWhole) {
  Journal j;
  TTestLogger logger(j);
  logger.SetAutoOpen(true);
  // The journal is shared by every writer; the logger's lock must serialise it.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < 50; ++i) logger.WriteLog("T" + std::to_string(t), 1, std::to_string(i));
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(logger.written.size(), 200u);
  EXPECT_EQ(j.size(), 200u * 4);
  for (std::size_t k = 0; k < j.size(); k += 4)
    EXPECT_THAT(std::vector<std::string>(j.begin() + k, j.begin() + k + 4),
                ElementsAre("DoOpen", "FormatText", "WriteText", "DoClose"));
  EXPECT_FALSE(logger.Active());
}

TEST(LoggerAutoOpen, CannotChangeWhileOpen) {
  Journal j;
  TTestLogger logger(j);
  logger.Open();
  try {
    logger.SetAutoOpen(true);
    FAIL() << "AutoOpen changed while open";
  } catch (const EConnectError& e) {
    EXPECT_STREQ(e.what(), "Connection is active");
  }
  EXPECT_FALSE(logger.AutoOpen());
  logger.Close();
  logger.SetAutoOpen(true);
  EXPECT_TRUE(logger.AutoOpen());
}

TEST(LogConnection, LogRewritesACopyAndHandsItToTheLogger) {
  Journal j;
  TTestLogger logger(j);
  logger.Open();
  TPlainLogConnection c;
  c.SetLogName("EMI");
  c.SetLogger(&logger);
  TComponent* sender = nullptr;
  c.OnFormatLog = [&](TComponent* s, std::uint8_t channel, std::string& text) {
    sender = s;
    text = "[" + std::to_string(channel) + "]" + text;
  };
  const std::string original = "01/00000/O/31";
  c.Log(2, original);
  EXPECT_EQ(original, "01/00000/O/31");
  EXPECT_EQ(sender, &c);
  EXPECT_THAT(logger.written, ElementsAre("EMI|2|[2]01/00000/O/31"));
}

TEST(LogConnection, WithoutLoggerTheFormatEventStillFires) {
  TPlainLogConnection c;
  int fired = 0;
  c.OnFormatLog = [&](TComponent*, std::uint8_t, std::string&) { ++fired; };
  c.Log(1, "x");
  EXPECT_EQ(fired, 1);
}

TEST(LogConnection, ClosedLoggerDecidesByItsOwnState) {
  Journal j;
  TTestLogger logger(j);
  TPlainLogConnection c;
  c.SetLogName("EMI");
  c.SetLogger(&logger);
  c.Log(1, "dropped");
  EXPECT_THAT(logger.written, IsEmpty());
}

}  // namespace
}  // namespace qorvel
