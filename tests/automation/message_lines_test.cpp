// The lines qorvelctl send reads, before any of them goes to Qorvel.
#include <gtest/gtest.h>

#include "tools/qorvelctl/message_input.h"

namespace qorvelctl {
namespace {

TEST(MessageLines, NumberAndTextAsTheyStand) {
  auto lines = ReadMessageLines("0612,Hello\n+31612,  spaced \xc3\xa9\n#99,\n", false);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Line, 1);
  EXPECT_EQ(lines[0].Number, "0612");
  EXPECT_EQ(lines[0].Octets, "Hello");
  EXPECT_TRUE(lines[0].Problem.isEmpty());
  EXPECT_EQ(lines[1].Number, "+31612");
  EXPECT_EQ(lines[1].Octets, "  spaced \xc3\xa9");
  EXPECT_TRUE(lines[1].Problem.isEmpty());
  // An empty text is the SMSC's to judge.
  EXPECT_EQ(lines[2].Number, "#99");
  EXPECT_TRUE(lines[2].Octets.isEmpty());
  EXPECT_TRUE(lines[2].Problem.isEmpty());
}

TEST(MessageLines, QuotedFieldsHoldCommasAndDoubledQuotes) {
  auto lines = ReadMessageLines("\"0612\",\"a \"\"b\"\", c\"\n0613,\"\"\n0614,\"\"\"\"", false);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Number, "0612");
  EXPECT_EQ(lines[0].Octets, "a \"b\", c");
  EXPECT_TRUE(lines[0].Problem.isEmpty()) << lines[0].Problem.toStdString();
  EXPECT_TRUE(lines[1].Octets.isEmpty());
  EXPECT_TRUE(lines[1].Problem.isEmpty());
  EXPECT_EQ(lines[2].Octets, "\"");
  EXPECT_TRUE(lines[2].Problem.isEmpty());
}

TEST(MessageLines, BlankLinesAreSkippedButCounted) {
  auto lines = ReadMessageLines("\xEF\xBB\xBF\n \t\n0612,a\r\n\r\n0613,b", false);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Line, 3);
  EXPECT_EQ(lines[0].Number, "0612");
  EXPECT_EQ(lines[0].Octets, "a");
  EXPECT_EQ(lines[1].Line, 5);
  EXPECT_EQ(lines[1].Octets, "b");
  EXPECT_TRUE(ReadMessageLines("", false).empty());
  EXPECT_TRUE(ReadMessageLines("\n\n", false).empty());
}

TEST(MessageLines, EachWrongLineSaysWhy) {
  const QByteArray input =
      "0612\n"
      "0612,a,b\n"
      "06a2,x\n"
      "06/12,x\n"
      "0612,\"open\n"
      "0612,\"closed\"after\n"
      "0612,say \"hi\"\n"
      "12345678901234567,x\n"
      "+,x\n"
      ",x\n"
      "0612,fine\n";
  auto lines = ReadMessageLines(input, false);
  ASSERT_EQ(lines.size(), 11u);
  auto problem = [&](std::size_t i) { return lines[i].Problem.toStdString(); };
  EXPECT_EQ(problem(0), "2 fields (number,text) expected, 1 found");
  EXPECT_EQ(problem(1), "2 fields (number,text) expected, 3 found");
  EXPECT_EQ(problem(2), "number: \"06a2\" is not 1 to 16 digits after an optional + or #");
  EXPECT_EQ(problem(3), "number: \"06/12\" is not 1 to 16 digits after an optional + or #");
  EXPECT_EQ(problem(4), "text: the quote is not closed");
  EXPECT_EQ(problem(5), "text: text after the closing quote");
  EXPECT_EQ(problem(6),
            "text: a quote inside a field that does not begin with one (quote the whole field "
            "and double the quote)");
  EXPECT_FALSE(lines[7].Problem.isEmpty());
  EXPECT_FALSE(lines[8].Problem.isEmpty());
  EXPECT_FALSE(lines[9].Problem.isEmpty());
  EXPECT_TRUE(lines[10].Problem.isEmpty());
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].Line, static_cast<int>(i) + 1);
  // The number is kept for the report even when something else is wrong.
  EXPECT_EQ(lines[1].Number, "0612");
  EXPECT_EQ(lines[2].Number, "06a2");
}

TEST(MessageLines, TextUpToTheWindowsLength) {
  const QByteArray longest(kMaxTextOctets, 'x');
  auto lines = ReadMessageLines("1," + longest + "\n1," + longest + "x\n", false);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].Problem.isEmpty());
  EXPECT_EQ(lines[1].Problem.toStdString(), "text: 161 octets, at most 160 of text");
}

TEST(MessageLines, HexTextIsPairsOfDigits) {
  const QByteArray longest = QByteArray(kMaxBinaryOctets, '\xff').toHex();
  auto lines = ReadMessageLines(
      "1,00ff41\n1,\"0a0B\"\n1,0G\n1,123\n1," + longest + "\n1," + longest + "00\n", true);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].Octets, QByteArray("\x00\xff\x41", 3));
  EXPECT_TRUE(lines[0].Problem.isEmpty());
  EXPECT_EQ(lines[1].Octets, QByteArray("\x0a\x0b", 2));
  EXPECT_EQ(lines[2].Problem.toStdString(), "text: \"0G\" is not pairs of hex digits");
  EXPECT_EQ(lines[3].Problem.toStdString(), "text: \"123\" is not pairs of hex digits");
  EXPECT_TRUE(lines[4].Problem.isEmpty());
  EXPECT_EQ(lines[5].Problem.toStdString(), "text: 141 octets, at most 140 of 8-bit data");
}

TEST(MessageLines, AWrongValueIsShownSafelyAndShort) {
  auto lines = ReadMessageLines("06\x1b[2J" + QByteArray(60, '7') + ",x\n", false);
  ASSERT_EQ(lines.size(), 1u);
  const std::string problem = lines[0].Problem.toStdString();
  EXPECT_EQ(problem.find('\x1b'), std::string::npos) << problem;
  EXPECT_NE(problem.find("06\\x1b[2J"), std::string::npos) << problem;
  EXPECT_NE(problem.find("...\""), std::string::npos) << problem;
}

}  // namespace
}  // namespace qorvelctl
