#include "emi/frame.h"

#include <gtest/gtest.h>

#include <string>

namespace qorvel {
namespace {

using namespace std::string_literals;

std::string Framed(std::string_view datagram) {
  return STX + std::string(datagram) + ETX;
}

std::string Compose(int ot, int trn, bool result, std::string_view data) {
  auto frame = ComposeFrame(ot, trn, result, data);
  EXPECT_TRUE(frame.has_value());
  return frame.value_or("");
}

// The validation outcome as one text: the body, or the rejection message.
std::string Check(std::string_view frame) {
  const char* error = "unset";
  auto body = ValidateFrame(frame, error);
  if (body) return error == nullptr ? "body:" + std::string(*body) : "error left set";
  return error;
}

TEST(Checksum, SumsOctetsModulo256) {
  EXPECT_EQ(Checksum(""), 0);
  EXPECT_EQ(Checksum("A"), 65);
  EXPECT_EQ(Checksum("\xff\x02"), 1);
  EXPECT_EQ(Checksum("00/00020/R/52/A///"), 0x95);
  EXPECT_EQ(Checksum(std::string(256, '\x01')), 0);
}

TEST(ComposeFrame, GivesTheWorkedExamplesByteForByte) {
  EXPECT_EQ(Compose(52, 0, true, "A//"), Framed("00/00020/R/52/A///95"));
  EXPECT_EQ(Compose(53, 5, true, "A//"), Framed("05/00020/R/53/A///9B"));
  EXPECT_EQ(Compose(31, 0, false, "0123456/0539"), Framed("00/00029/O/31/0123456/0539/5E"));
  EXPECT_EQ(Compose(31, 0, false, ""), Framed("00/00017/O/31//F6"));
}

TEST(ComposeFrame, WritesSmallChecksumsWithALeadingZero) {
  // "00/00018/O/31/" plus one data octet and "/": find the octets whose sum lands on 0x0A and 0.
  const unsigned base = Checksum("00/00018/O/31//");
  const char forTen = static_cast<char>((0x10A - base) % 256);
  const char forZero = static_cast<char>((0x100 - base) % 256);
  std::string ten = Compose(31, 0, false, std::string(1, forTen));
  std::string zero = Compose(31, 0, false, std::string(1, forZero));
  EXPECT_EQ(ten.substr(ten.size() - 3), "0A\x03");
  EXPECT_EQ(zero.substr(zero.size() - 3), "00\x03");
  EXPECT_EQ(Check(ten), "body:00/00018/O/31/"s + forTen + "/");
  EXPECT_EQ(Check(zero), "body:00/00018/O/31/"s + forZero + "/");
}

TEST(ComposeFrame, RefusesWhatDoesNotFitTheHeader) {
  for (auto [ot, trn] : {std::pair{100, 0}, {-1, 0}, {0, 100}, {0, -1}, {255, 255}}) {
    EXPECT_FALSE(ComposeFrame(ot, trn, false, "x")) << ot << ' ' << trn;
    EXPECT_NE(ComposeFrameError(ot, trn, "x"), nullptr);
  }
  EXPECT_EQ(ComposeFrameError(99, 99, "x"), nullptr);
  EXPECT_EQ(Compose(99, 99, true, ""), Framed("99/00017/R/99//19"));

  std::string longest(kMaxDataLength, 'x');
  auto frame = ComposeFrame(51, 0, false, longest);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size(), kMaxFrameLength);
  EXPECT_EQ(frame->substr(1, 9), "00/99999/");
  EXPECT_EQ(Check(*frame).substr(0, 5), "body:");
  longest += 'x';
  EXPECT_FALSE(ComposeFrame(51, 0, false, longest));
  EXPECT_NE(ComposeFrameError(51, 0, longest), nullptr);

  // A frame's own delimiters inside the data would cut it in two.
  for (const char* cut : {"06\x02" "12", "06\x03" "12"}) {
    EXPECT_FALSE(ComposeFrame(51, 0, false, cut));
    EXPECT_NE(ComposeFrameError(51, 0, cut), nullptr);
  }
}

TEST(ValidateFrame, AcceptsGoodFramesAndLowerCaseChecksums) {
  EXPECT_EQ(Check(Framed("00/00020/R/52/A///95")), "body:00/00020/R/52/A///");
  EXPECT_EQ(Check(Framed("05/00020/R/53/A///9b")), "body:05/00020/R/53/A///");
  EXPECT_EQ(Check(Framed("00/00017/O/31//F6")), "body:00/00017/O/31//");
}

TEST(ValidateFrame, TooShortIsBadFormat) {
  EXPECT_EQ(Check(Framed("00/00016/O/31/F6")), kBadFormat);  // 16 characters
  EXPECT_EQ(Check(Framed("")), kBadFormat);
  EXPECT_EQ(Check(""), kBadFormat);
  EXPECT_EQ(Check("\x02"), kBadFormat);
}

TEST(ValidateFrame, LengthFieldMustBeAnIntegerEqualToTheLength) {
  EXPECT_EQ(Check(Framed("00/0002x/R/52/A///95")), kBadFormat);
  EXPECT_EQ(Check(Framed("00//R/52/A///95")), kBadFormat);
  EXPECT_EQ(Check(Framed("00/ 0020/R/52/A///95")), kBadFormat);
  EXPECT_EQ(Check(Framed("0000020R52A///////95")), kBadFormat);  // no field 1 at all
  EXPECT_EQ(Check(Framed("00/00021/R/52/A///96")), kBadLength);
  EXPECT_EQ(Check(Framed("00/-0020/R/52/A///95")), kBadFormat);
  EXPECT_EQ(Check(Framed("00/$0014/R/52/A///95")), kBadFormat);  // 20 in hex, but not decimal
}

TEST(ValidateFrame, ChecksumMustMatch) {
  EXPECT_EQ(Check(Framed("00/00020/R/52/A///96")), kBadChecksum);
  EXPECT_EQ(Check(Framed("00/00020/R/52/A///59")), kBadChecksum);
  EXPECT_EQ(Check(Framed("00/00020/R/52/A///9G")), kBadChecksum);  // reads as 0
}

TEST(ValidateFrame, BadHexChecksumReadsAsZeroAndATrailingBlankIsIgnored) {
  // Data octets chosen so that the body sums to 0 and to 0x0A.
  const unsigned base = Checksum("00/00018/O/31//");
  std::string zeroBody = "00/00018/O/31/"s + static_cast<char>((0x100 - base) % 256) + "/";
  std::string tenBody = "00/00018/O/31/"s + static_cast<char>((0x10A - base) % 256) + "/";
  EXPECT_EQ(Check(Framed(zeroBody + "ZZ")), "body:" + zeroBody);
  EXPECT_EQ(Check(Framed(zeroBody + " 1")), "body:" + zeroBody);
  EXPECT_EQ(Check(Framed(tenBody + "A ")), "body:" + tenBody);
  EXPECT_EQ(Check(Framed(tenBody + "a ")), "body:" + tenBody);
  EXPECT_EQ(Check(Framed(tenBody + " A")), kBadChecksum);
}

TEST(ValidateFrame, ChecksRunInOrderFormatLengthChecksum) {
  // Each frame is wrong in every later respect too; the first failing check wins.
  EXPECT_EQ(Check(Framed("00/0000x/O/31/00")), kBadFormat);      // short, bad LEN, bad sum
  EXPECT_EQ(Check(Framed("00/0002x/R/52/A///00")), kBadFormat);  // bad LEN text, bad sum
  EXPECT_EQ(Check(Framed("00/00099/R/52/A///00")), kBadLength);  // wrong LEN, bad sum
}

TEST(ParseDatagram, TakesABodyApart) {
  TDatagram d;
  ASSERT_TRUE(ParseDatagram("05/00020/O/52/a/b/", d));
  EXPECT_EQ(d.TRN, 5);
  EXPECT_EQ(d.OT, 52);
  EXPECT_FALSE(d.Result);
  EXPECT_EQ(d.Data, "a/b/");

  ASSERT_TRUE(ParseDatagram("00/00020/R/52/A///", d));
  EXPECT_TRUE(d.Result);
  EXPECT_EQ(d.Data, "A///");

  ASSERT_TRUE(ParseDatagram("00/00020/r/52/A///", d));
  EXPECT_FALSE(d.Result);
  ASSERT_TRUE(ParseDatagram("00/00020/RR/52/A///", d));
  EXPECT_FALSE(d.Result);

  // Fields 4 and 5 of an empty data part are both empty: joined they are "/".
  ASSERT_TRUE(ParseDatagram("00/00017/O/31//", d));
  EXPECT_EQ(d.Data, "/");
  d.Data = "stale";
  ASSERT_TRUE(ParseDatagram("00/00017/O/31", d));
  EXPECT_EQ(d.Data, "");

  ASSERT_TRUE(ParseDatagram("300/x/O/257/", d));  // held in 8 bits
  EXPECT_EQ(d.TRN, 300 % 256);
  EXPECT_EQ(d.OT, 1);
}

TEST(ParseDatagram, RefusesNonIntegerTrnOrOt) {
  TDatagram d;
  d.OT = 7;
  EXPECT_FALSE(ParseDatagram("xx/00020/R/52/A///", d));
  EXPECT_FALSE(ParseDatagram("00/00020/R/5x/A///", d));
  EXPECT_FALSE(ParseDatagram("00/00020/R//A///", d));
  EXPECT_FALSE(ParseDatagram("$1/00020/R/52/A///", d));  // numbers in a frame are decimal
  EXPECT_FALSE(ParseDatagram("00/00020/R/$34/A///", d));
  EXPECT_FALSE(ParseDatagram("+1/00020/R/52/A///", d));
  EXPECT_FALSE(ParseDatagram("", d));
  EXPECT_EQ(d.OT, 7);
}

TEST(ReadAnswer, AckNakAndTheirTexts) {
  TAnswer nak = ReadAnswer("00/00022/R/51/N/02//");
  EXPECT_TRUE(nak.IsAnswer);
  EXPECT_FALSE(nak.Ack);
  EXPECT_EQ(nak.ErrorCode, 2);
  EXPECT_EQ(nak.Text, "N/02//");

  TAnswer bare = ReadAnswer("00/00021/R/51/N/02/");
  EXPECT_EQ(bare.Text, "N/02/");
  EXPECT_EQ(bare.ErrorCode, 2);

  TAnswer ack = ReadAnswer("00/00043/R/51/A//0612345678:010101120000/");
  EXPECT_TRUE(ack.IsAnswer);
  EXPECT_TRUE(ack.Ack);
  EXPECT_EQ(ack.ErrorCode, 0);
  EXPECT_EQ(ack.Text, "A//0612345678:010101120000/");

  EXPECT_EQ(ReadAnswer("00/00022/R/51/NAK/xx/").ErrorCode, -1);
  EXPECT_EQ(ReadAnswer("00/00022/R/51/N//").ErrorCode, -1);
  EXPECT_EQ(ReadAnswer("00/00022/R/51/N").ErrorCode, -1);
  EXPECT_EQ(ReadAnswer("00/00022/R/51/N/$18/").ErrorCode, -1);
  EXPECT_TRUE(ReadAnswer("00/00022/R/51/ACK/").Ack);
}

TEST(ReadAnswer, OtherFirstFieldsAreNoAnswer) {
  for (const char* body : {"00/00020/R/51///", "00/00020/R/51/X//", "00/00020/R/51/a//",
                           "00/00020/R/51/n/02/", "00/00020/R/51", ""}) {
    TAnswer a = ReadAnswer(body);
    EXPECT_FALSE(a.IsAnswer) << body;
    EXPECT_FALSE(a.Ack) << body;
  }
}

TEST(FrameLogText, ShowsControlCharactersByName) {
  EXPECT_EQ(FrameLogText(Framed("00/00020/R/52/A///95")), "<STX>00/00020/R/52/A///95<ETX>");
  EXPECT_EQ(FrameLogText("a\x03\x02\x01\0b"s), "a<ETX><STX>\x01\0b"s);
  EXPECT_EQ(FrameLogText(""), "");
}

}  // namespace
}  // namespace qorvel
