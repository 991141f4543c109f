#include "connect/stream_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <stdexcept>
#include <string>

#include "connect/date_time_text.h"
#include "connect/frame_divide.h"

namespace qorvel {
namespace {

class TStringStream : public TLogStream {
 public:
  explicit TStringStream(std::string& out) : out_(out) {}
  void SeekEnd() override {}
  void Write(std::string_view data) override { out_.append(data); }

 private:
  std::string& out_;
};

// Collects everything written, across opens and closes.
class TMemoryLogger : public TStreamLogger {
 public:
  TMemoryLogger() { Open(); }
  ~TMemoryLogger() override { CloseForDestruction(); }
  std::string out;

 protected:
  void DoOpen() override {
    {
      TRecursiveGuard guard(lock_);
      stream_ = std::make_unique<TStringStream>(out);
    }
    TStreamLogger::DoOpen();
  }
  void DoClose() override {
    TRecursiveGuard guard(lock_);
    stream_.reset();
  }
};

TEST(StreamLoggerFormat, DefaultsGiveNameHexTagAndHexBytes) {
  TMemoryLogger logger;
  EXPECT_EQ(logger.LogFlags().Byte(), 47);
  EXPECT_EQ(logger.LogFlags(), (TLogFormatFlags{lfInsertName, lfInsertChannel, lfDivideNames,
                                                lfDivideChannels, lfHexadecimal}));
  EXPECT_EQ(logger.MaxLineLength(), 80);
  logger.WriteLog("EMI", 1, "AB");
  EXPECT_EQ(logger.out, "\r\nEMI-01)41 42 ");
  // Bytes are written as unsigned hex, high ones and NUL included.
  logger.WriteLog("EMI", 1, std::string("\x00\xff", 2));
  EXPECT_EQ(logger.out, "\r\nEMI-01)41 42 00 ff ");
}

TEST(StreamLoggerFormat, NoFlagsWritesTextsBackToBack) {
  TMemoryLogger logger;
  logger.SetLogFlags({});
  logger.SetMaxLineLength(0);
  logger.WriteLog("EMI", 1, "abc");
  logger.WriteLog("TCP", 2, "de\x02\r\n");
  logger.WriteLog("EMI", 3, "f");
  EXPECT_EQ(logger.out, "abcde\x02\r\nf");
}

TEST(StreamLoggerFormat, AutoCREndsEveryTextEvenAnEmptyOne) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfAutoCR});
  logger.WriteLog("EMI", 1, "");
  EXPECT_EQ(logger.out, "\r\n");
  logger.WriteLog("EMI", 1, "ab");
  logger.WriteLog("EMI", 1, "c");
  EXPECT_EQ(logger.out, "\r\nab\r\nc\r\n");
}

TEST(StreamLoggerFormat, EmptyTextStillBecomesThePreviousText) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfDivideNames});
  logger.WriteLog("X", 1, "a");
  logger.WriteLog("Y", 1, "");
  EXPECT_EQ(logger.out, "\r\na");
  // Y is now the last name: no division for it.
  logger.WriteLog("Y", 1, "b");
  EXPECT_EQ(logger.out, "\r\nab");
}

TEST(StreamLoggerFormat, MaxLineLengthWrapsOnlyWhileCharactersRemain) {
  {
    TMemoryLogger logger;
    logger.SetLogFlags({});
    logger.SetMaxLineLength(10);
    logger.WriteLog("EMI", 1, "abcdefghijklmnopqrstuvwxy");
    EXPECT_EQ(logger.out, "abcdefghij\r\nklmnopqrst\r\nuvwxy");
  }
  {
    TMemoryLogger logger;
    logger.SetLogFlags({});
    logger.SetMaxLineLength(10);
    logger.WriteLog("EMI", 1, "abcdefghijklmnopqrst");
    EXPECT_EQ(logger.out, "abcdefghij\r\nklmnopqrst");
    logger.WriteLog("EMI", 1, "12");
    EXPECT_EQ(logger.out, "abcdefghij\r\nklmnopqrst12");
  }
  {
    // Unless a divide test applies.
    TMemoryLogger logger;
    logger.SetLogFlags({lfDivideChannels});
    logger.SetMaxLineLength(10);
    logger.WriteLog("EMI", 1, "abcdefghijklmnopqrst");
    logger.WriteLog("EMI", 2, "12");
    EXPECT_EQ(logger.out, "\r\nabcdefghij\r\nklmnopqrst\r\n12");
  }
}

TEST(StreamLoggerFormat, PrefixesCountTowardsTheLineLength) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfInsertName});
  logger.SetMaxLineLength(6);
  logger.WriteLog("AB", 1, "123456");
  // "AB-" takes three of the six columns of every line.
  EXPECT_EQ(logger.out, "AB-123\r\nAB-456");
}

TEST(StreamLoggerFormat, NameChangeMidLineIsInsertedInline) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfInsertName, lfInsertChannel});
  logger.SetMaxLineLength(0);
  logger.WriteLog("A", 1, "xy");
  logger.WriteLog("B", 1, "z");
  logger.WriteLog("B", 2, "w");
  logger.WriteLog("B", 2, "v");
  EXPECT_EQ(logger.out, "A-01) xyB-01) z02) wv");
}

TEST(StreamLoggerFormat, DivideTestsStartTheLineWithABreak) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfInsertChannel, lfDivideChannels});
  logger.SetMaxLineLength(0);
  logger.WriteLog("EMI", 1, "a");
  logger.WriteLog("EMI", 1, "b");
  logger.WriteLog("EMI", 0x1f, "c");
  EXPECT_EQ(logger.out, "\r\n01) ab\r\n1f) c");
}

TEST(StreamLoggerFormat, StampStartsEveryLineAndIsCounted) {
  TMemoryLogger logger;
  const std::time_t now = 1700000000;
  logger.Clock = [now] { return now; };
  const std::string stamp = LocaleDateTimeText(now) + ")";
  ASSERT_FALSE(LocaleDateTimeText(now).empty());
  logger.SetLogFlags({lfStamp, lfInsertChannel});
  logger.SetMaxLineLength(static_cast<std::int32_t>(stamp.size()) + 4 + 2);
  logger.WriteLog("EMI", 3, "abcd");
  EXPECT_EQ(logger.out, stamp + "03) ab\r\n" + stamp + "03) cd");
}

TEST(StreamLoggerFormat, StateSurvivesClosingAndRefusedTexts) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfDivideNames, lfDivideChannels});
  logger.SetMaxLineLength(0);
  logger.WriteLog("EMI", 1, "a");
  logger.Close();
  logger.Open();
  logger.AcceptChannel = [](TComponent*, const std::string& name, std::uint8_t, bool& accept) {
    accept = name != "OTHER";
  };
  logger.WriteLog("OTHER", 2, "refused");
  logger.WriteLog("EMI", 1, "b");
  EXPECT_EQ(logger.out, "\r\nab");
}

TEST(LoggerStamp, UsesTheLocaleDateAndTime) {
  ASSERT_STREQ(std::setlocale(LC_TIME, nullptr), "C");
  std::tm t{};
  t.tm_year = 121;
  t.tm_mon = 2;
  t.tm_mday = 4;
  t.tm_hour = 5;
  t.tm_min = 6;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  EXPECT_EQ(LocaleDateTimeText(std::mktime(&t)), "03/04/21 05:06:07");
}

// The divide-stream handler's freedom: it works on the formatter's copy.
class StreamLoggerDivideHandler : public ::testing::Test {
 protected:
  StreamLoggerDivideHandler() {
    logger.SetLogFlags({lfDivideStream});
    logger.SetMaxLineLength(0);
  }
  TMemoryLogger logger;
};

TEST_F(StreamLoggerDivideHandler, IsAskedOnlyWhereNoEarlierTestApplied) {
  logger.SetLogFlags({lfDivideNames, lfDivideStream});
  std::vector<int> asked;
  logger.OnDivideStream = [&](TComponent* sender, const std::string& name, std::uint8_t channel,
                              std::string&, int& I, bool& divide) {
    EXPECT_EQ(sender, &logger);
    EXPECT_EQ(name, "EMI");
    EXPECT_EQ(channel, 7);
    EXPECT_FALSE(divide);
    asked.push_back(I);
    divide = I == 3;
  };
  logger.WriteLog("EMI", 7, "abcd");
  EXPECT_THAT(asked, ::testing::ElementsAre(2, 3, 4));
  EXPECT_EQ(logger.out, "\r\nab\r\ncd");
}

TEST_F(StreamLoggerDivideHandler, MayRewriteTheTextAndMoveThePosition) {
  logger.OnDivideStream = [](TComponent*, const std::string&, std::uint8_t, std::string& text,
                             int& I, bool&) {
    if (text[static_cast<std::size_t>(I) - 1] == '#') ++I;  // skip markers
    if (text.back() != '!') text += '!';                    // the copy grows
  };
  const std::string original = "a#b#c";
  logger.WriteLog("EMI", 1, original);
  EXPECT_EQ(logger.out, "abc!");
  EXPECT_EQ(original, "a#b#c");
}

TEST_F(StreamLoggerDivideHandler, APositionOutsideTheTextEndsIt) {
  logger.OnDivideStream = [](TComponent*, const std::string&, std::uint8_t, std::string&, int& I,
                             bool&) {
    if (I == 2) I = 100;
  };
  logger.WriteLog("EMI", 1, "abc");
  logger.OnDivideStream = [](TComponent*, const std::string&, std::uint8_t, std::string& text,
                             int& I, bool&) {
    if (I == 2) {
      text.clear();
      I = 0;
    }
  };
  logger.WriteLog("EMI", 1, "xyz");
  EXPECT_EQ(logger.out, "ax");
}

TEST_F(StreamLoggerDivideHandler, AFailureReachesTheCallerAndLeavesTheLoggerUsable) {
  logger.Close();
  logger.SetAutoOpen(true);
  logger.OnDivideStream = [](TComponent*, const std::string&, std::uint8_t, std::string&, int& I,
                             bool&) {
    if (I == 2) throw std::runtime_error("handler failed");
  };
  EXPECT_THROW(logger.WriteLog("EMI", 1, "abc"), std::runtime_error);
  EXPECT_FALSE(logger.Active());
  EXPECT_EQ(logger.out, "");
  logger.WriteLog("EMI", 1, "z");
  EXPECT_EQ(logger.out, "z");
}

TEST(LoggerDivideAtFrameStart, DividesFramesOnTheFrameChannelsOnly) {
  auto divides = [](std::uint8_t channel, std::string text, int I) {
    bool divide = false;
    DivideAtFrameStart(nullptr, "EMI", channel, text, I, divide);
    return divide;
  };
  EXPECT_TRUE(divides(1, "<STX>01", 1));
  EXPECT_TRUE(divides(2, "x<STX>", 2));
  EXPECT_FALSE(divides(3, "<STX>01", 1));
  EXPECT_FALSE(divides(1, "<STX>01", 2));
  EXPECT_FALSE(divides(1, "x<STX", 2));
  EXPECT_FALSE(divides(1, "<stx>", 1));
  EXPECT_FALSE(divides(1, "<STX>", 0));
  EXPECT_FALSE(divides(1, "<STX>", 6));
}

// The traffic log as this system sets it up: every frame and every
// diagnostic on a line of its own, behind its channel tag.
TEST(StreamLoggerTrafficLog, EveryFrameBecomesOneLine) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfInsertChannel, lfDivideNames, lfDivideChannels, lfDivideStream});
  logger.SetMaxLineLength(0);
  logger.OnDivideStream = DivideAtFrameStart;
  const std::string login = "<STX>01/00050/O/60/0123/6/5/1/50415353/0100//////AF<ETX>";
  const std::string answer = "<STX>01/00019/R/60/A//6D<ETX>";
  const std::string alert = "<STX>00/00035/O/31/0123/0539//////70<ETX>";
  logger.WriteLog("EMI", 1, login);
  logger.WriteLog("EMI", 2, answer);
  logger.WriteLog("EMI", 3, "Bad check sum");
  logger.WriteLog("EMI", 1, alert);
  logger.WriteLog("EMI", 1, alert);
  logger.WriteLog("EMI", 2, answer + answer);
  EXPECT_EQ(logger.out, "\r\n01) " + login + "\r\n02) " + answer +
                            "\r\n03) Bad check sum"
                            "\r\n01) " +
                            alert + "\r\n01) " + alert + "\r\n02) " + answer + "\r\n02) " + answer);
}

TEST(StreamLoggerTrafficLog, ADiagnosticMentioningAFrameStaysOneLine) {
  TMemoryLogger logger;
  logger.SetLogFlags({lfInsertChannel, lfDivideNames, lfDivideChannels, lfDivideStream});
  logger.SetMaxLineLength(0);
  logger.OnDivideStream = DivideAtFrameStart;
  logger.WriteLog("EMI", 3, "Bad frame <STX>01<ETX>");
  EXPECT_EQ(logger.out, "\r\n03) Bad frame <STX>01<ETX>");
}

}  // namespace
}  // namespace qorvel
