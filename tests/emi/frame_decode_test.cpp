#include "emi/frame_decode.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"

namespace qorvel {
namespace {

// A real frame: composed, so that its length and checksum are right.
std::string Frame(int aOT, int aTRN, bool aResult, const std::vector<std::string>& aFields) {
  return ComposeFrame(aOT, aTRN, aResult, JoinFields(aFields)).value_or("compose failed");
}

// The 33 fields of a 51 to 58 operation, the given ones set.
std::vector<std::string> MessageFields(std::vector<std::pair<int, std::string>> aSet) {
  std::vector<std::string> fields(33);
  for (auto& [index, value] : aSet) fields[static_cast<std::size_t>(index)] = value;
  return fields;
}

std::string HexByte(unsigned aValue) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {kHex[aValue >> 4 & 0xF], kHex[aValue & 0xF]};
}

// A frame written out by hand, with whatever LEN and checksum are given.
std::string RawFrame(std::string_view aBody, std::string_view aChecksum) {
  return STX + std::string(aBody) + std::string(aChecksum) + ETX;
}

const TDecodedField* FieldNamed(const TDecodedFrame& aFrame, std::string_view aName) {
  for (const TDecodedField& field : aFrame.Fields)
    if (field.Name == aName) return &field;
  return nullptr;
}

struct TCase {
  const char* Label;
  std::string Line;
  std::string OperationLine;  // the first line of DecodedText
  bool ChecksumOk;
  bool LengthOk;
  std::size_t FieldCount;
  std::vector<std::pair<std::string, std::string>> Shown;  // name, shown value
};

std::vector<TCase> Cases() {
  const std::string submit = Frame(51, 1, false,
                                   MessageFields({{0, "0612345678"},
                                                  {1, "0687654321"},
                                                  {3, "1"},
                                                  {5, "3"},
                                                  {12, "0912261234"},
                                                  {18, "3"},
                                                  {20, TextToHex("Hello")},
                                                  {24, "1"},
                                                  {25, "1"},
                                                  {30, "0201F2"}}));
  const std::string alert = Frame(31, 0, false, {"0123456", "0539", "x", ""});
  return {
      {"submit 51",
       submit,
       "Operation: 51 Submit short message (O, TRN 01)",
       true,
       true,
       33,
       {{"AdC", "0612345678"},
        {"OAdC", "0687654321"},
        {"NRq", "1"},
        {"NT", "3 = delivery + non-delivery"},
        {"VP", "2026-12-09 12:34"},
        {"MT", "3 = alphanumeric"},
        {"Msg", "Hello"},
        {"MCLs", "1 = class 1"},
        {"RPI", "1 = request"},
        {"XSer", "0201F2"},
        {"RES5", ""}}},
      {"delivery 52, transparent data",
       Frame(52, 7, false,
             MessageFields({{0, "0612345678"},
                            {1, "0687654321"},
                            {5, "4"},
                            {14, "091226123456"},
                            {18, "4"},
                            {19, "16"},
                            {20, "C0FF"}})),
       "Operation: 52 Delivery short message (O, TRN 07)",
       true,
       true,
       33,
       {{"SCTS", "2026-12-09 12:34:56"},
        {"NT", "4 = buffered message notification"},
        {"MT", "4 = transparent data"},
        {"Msg", "C0FF (16 bits)"}}},
      {"notification 53, delivered",
       Frame(53, 2, false,
             MessageFields({{0, "0687654321"},
                            {1, "0612345678"},
                            {14, "091226123456"},
                            {15, "0"},
                            {17, "091226123510"},
                            {18, "3"},
                            {20, TextToHex("Delivered")}})),
       "Operation: 53 Delivery notification (O, TRN 02)",
       true,
       true,
       33,
       {{"Dst", "0 = delivered"},
        {"Rsn", ""},
        {"DSCTS", "2026-12-09 12:35:10"},
        {"Msg", "Delivered"}}},
      {"notification 53, not delivered with a reason",
       Frame(53, 3, false, MessageFields({{0, "0687654321"}, {15, "2"}, {16, "108"}, {18, "3"}})),
       "Operation: 53 Delivery notification (O, TRN 03)",
       true,
       true,
       33,
       {{"Dst", "2 = not delivered"}, {"Rsn", "108 = delivery fail"}}},
      {"login 60",
       Frame(60, 0, false,
             {"1234", "6", "5", "1", TextToHex("secretpw"), "", "0100", "", "", "", "", ""}),
       "Operation: 60 Session management (O, TRN 00)",
       true,
       true,
       12,
       {{"OAdC", "1234"},
        {"STYP", "1 = open session"},
        {"PWD", "(8 characters, hidden)"},
        {"NPWD", ""},
        {"VERS", "0100"}}},
      {"call input 01",
       Frame(1, 9, false, {"0612345678", "", "", "3", TextToHex("Hi\x01\\")}),
       "Operation: 01 Call input (O, TRN 09)",
       true,
       true,
       5,
       {{"MT", "3 = alphanumeric"}, {"AMsg", "Hi\\x01\\\\"}}},
      {"ACK of a submit",
       Frame(51, 1, true, {"A", "", "0612345678:091226123456"}),
       "Operation: 51 Submit short message (R, TRN 01)",
       true,
       true,
       3,
       {{"ACK", "A"}, {"MVP", ""}, {"SM", "0612345678, SCTS 2026-12-09 12:34:56"}}},
      {"ACK of a login",
       Frame(60, 0, true, {"A", "welcome"}),
       "Operation: 60 Session management (R, TRN 00)",
       true,
       true,
       2,
       {{"ACK", "A"}, {"SM", "welcome"}}},
      {"NAK 02",
       Frame(60, 0, true, {"N", "02", "bad field"}),
       "Operation: 60 Session management (R, TRN 00)",
       true,
       true,
       3,
       {{"NAK", "N"}, {"EC", "02 = syntax error"}, {"SM", "bad field"}}},
      {"NAK with a code no table has",
       Frame(51, 4, true, {"N", "99", ""}),
       "Operation: 51 Submit short message (R, TRN 04)",
       true,
       true,
       3,
       {{"EC", "99 (unknown)"}, {"SM", ""}}},
      {"alert 31 with more fields than names",
       alert,
       "Operation: 31 Alert (O, TRN 00)",
       true,
       true,
       4,
       {{"AdC", "0123456"},
        {"PID", "0539 = PC appl. over TCP/IP"},
        {"field 3", "x"},
        {"field 4", ""}}},
      {"log form with a prefix",
       "01) " + FrameLogText(alert) + " trailing text",
       "Operation: 31 Alert (O, TRN 00)",
       true,
       true,
       4,
       {{"PID", "0539 = PC appl. over TCP/IP"}}},
      {"raw frame inside other text",
       "12:00:01.500 ch2 " + alert + "\r",
       "Operation: 31 Alert (O, TRN 00)",
       true,
       true,
       4,
       {{"AdC", "0123456"}}},
      {"a frame cut short before the real one",
       "<STX>00/000<STX>" + FrameLogText(alert).substr(5),
       "Operation: 31 Alert (O, TRN 00)",
       true,
       true,
       4,
       {{"AdC", "0123456"}}},
      {"unknown operation",
       Frame(54, 5, false, {"a", "b"}),
       "Operation: 54 Operation 54 (O, TRN 05)",
       true,
       true,
       2,
       {{"AdC", "a"}, {"OAdC", "b"}}},
      {"values that mean nothing",
       Frame(51, 1, false,
             MessageFields({{5, "x"}, {12, "3102261234"}, {18, "9"}, {24, "7"}, {20, "4G"}})),
       "Operation: 51 Submit short message (O, TRN 01)",
       true,
       true,
       33,
       {{"NT", "x (not a number)"},
        {"VP", "3102261234 (not a date DDMMYYhhmm[ss])"},
        {"MT", "9 (unknown)"},
        {"MCLs", "7 (unknown)"},
        {"Msg", "4G"}}},
  };
}

TEST(DecodeFrame, ReadsEachKindOfFrame) {
  for (const TCase& c : Cases()) {
    SCOPED_TRACE(c.Label);
    const TDecodedFrame frame = DecodeFrame(c.Line);
    ASSERT_TRUE(frame.Found);
    const std::string text = DecodedText(frame);
    EXPECT_EQ(text.substr(0, text.find('\n')), c.OperationLine);
    EXPECT_EQ(frame.ChecksumOk, c.ChecksumOk);
    EXPECT_EQ(frame.LengthOk, c.LengthOk);
    EXPECT_TRUE(frame.Problems.empty()) << frame.Problems.front();
    EXPECT_EQ(frame.Fields.size(), c.FieldCount);
    for (const auto& [name, shown] : c.Shown) {
      const TDecodedField* field = FieldNamed(frame, name);
      ASSERT_NE(field, nullptr) << name;
      EXPECT_EQ(field->Shown, shown) << name;
    }
  }
}

TEST(DecodeFrame, KeepsEveryRawValueButThePasswords) {
  const std::vector<std::string> login = {
      "1234", "6", "5", "3", TextToHex("oldpw"), TextToHex("newpw1"), "0100"};
  const TDecodedFrame frame = DecodeFrame(Frame(60, 0, false, login));
  ASSERT_EQ(frame.Fields.size(), login.size());
  for (std::size_t i = 0; i < login.size(); ++i) {
    const bool password = i == 4 || i == 5;
    EXPECT_EQ(frame.Fields[i].Hidden, password) << i;
    EXPECT_EQ(frame.Fields[i].Raw, password ? "" : login[i]) << i;
  }
  EXPECT_EQ(frame.Fields[3].Shown, "3 = change password");
  EXPECT_EQ(frame.Fields[5].Shown, "(6 characters, hidden)");
}

TEST(DecodeFrame, ShowsNoPasswordInTextOrJson) {
  for (int ot : {60, 61}) {
    const TDecodedFrame frame = DecodeFrame(
        Frame(ot, 0, false, {"1234", "6", "5", "6", TextToHex("secretpw"), TextToHex("n3wpass")}));
    for (const std::string& out : {DecodedText(frame), DecodedJson(frame)}) {
      for (const char* secret : {"secretpw", "n3wpass"}) {
        EXPECT_EQ(out.find(secret), std::string::npos) << ot << ' ' << out;
        EXPECT_EQ(out.find(TextToHex(secret)), std::string::npos) << ot << ' ' << out;
      }
    }
    EXPECT_NE(DecodedText(frame).find("\nPWD: (8 characters, hidden)\n"), std::string::npos);
  }
}

TEST(DecodeFrame, GivesTheHeaderAndVerdicts) {
  const std::string frame = Frame(51, 1, false, MessageFields({{0, "0612345678"}}));
  const TDecodedFrame decoded = DecodeFrame(frame);
  EXPECT_EQ(decoded.TRN, "01");
  EXPECT_EQ(decoded.LEN, "00059");
  EXPECT_EQ(decoded.RealLength, 59u);
  EXPECT_EQ(decoded.Kind, "O");
  EXPECT_FALSE(decoded.Result);
  EXPECT_EQ(decoded.OT, "51");
  EXPECT_EQ(decoded.Operation, "Submit short message");
  EXPECT_EQ(decoded.ChecksumGiven, frame.substr(frame.size() - 3, 2));
  EXPECT_EQ(decoded.ChecksumComputed, decoded.ChecksumGiven);
  EXPECT_EQ(DecodedText(decoded),
            "Operation: 51 Submit short message (O, TRN 01)\n"
            "Checksum: " +
                decoded.ChecksumGiven +
                " ok\n"
                "Length: 00059 ok\n"
                "AdC: 0612345678\n");
}

TEST(DecodeFrame, ReportsAWrongChecksum) {
  const std::string body = "00/00029/O/31/0123456/0539/";
  const std::string right = HexByte(Checksum(body));
  const std::string wrong = HexByte(Checksum(body) + 1u);
  const TDecodedFrame frame = DecodeFrame(RawFrame(body, wrong));
  ASSERT_TRUE(frame.Found);
  EXPECT_FALSE(frame.ChecksumOk);
  EXPECT_TRUE(frame.LengthOk);
  EXPECT_EQ(frame.ChecksumGiven, wrong);
  EXPECT_EQ(frame.ChecksumComputed, right);
  const std::string text = DecodedText(frame);
  EXPECT_NE(text.find("\nChecksum: " + wrong + ", expected " + right + " \xE2\x80\x94 WRONG\n"),
            std::string::npos)
      << text;
  // The fields are still read.
  EXPECT_EQ(FieldNamed(frame, "AdC")->Shown, "0123456");

  // Lower case is the same sum, but not as frames are written.
  std::string lower = right;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != right) {
    const TDecodedFrame relaxed = DecodeFrame(RawFrame(body, lower));
    EXPECT_TRUE(relaxed.ChecksumOk);
    ASSERT_EQ(relaxed.Problems.size(), 1u);
    EXPECT_NE(relaxed.Problems[0].find("upper case"), std::string::npos);
  }
}

TEST(DecodeFrame, ReportsAWrongLength) {
  // Right checksum, LEN one more than the datagram has.
  const std::string body = "00/00030/O/31/0123456/0539/";
  const TDecodedFrame frame = DecodeFrame(RawFrame(body, HexByte(Checksum(body))));
  ASSERT_TRUE(frame.Found);
  EXPECT_TRUE(frame.ChecksumOk);
  EXPECT_FALSE(frame.LengthOk);
  EXPECT_EQ(frame.RealLength, 29u);
  const std::string text = DecodedText(frame);
  EXPECT_NE(text.find("\nLength: 00030, expected 00029 \xE2\x80\x94 WRONG\n"), std::string::npos)
      << text;
}

TEST(DecodeFrame, NamesEachBadHeaderValue) {
  const struct {
    std::string Body;
    const char* Problem;
  } cases[] = {
      {"1x/00029/O/31/0123456/0539/", "TRN \"1x\" is not two digits"},
      {"00/0029/O/31/0123456/0539/", "LEN \"0029\" is not five digits"},
      {"00/00029/Q/31/0123456/0539/", "O/R \"Q\" is neither O nor R"},
      {"00/00029/O/3y/0123456/0539/", "OT \"3y\" is not two digits"},
      {"00/00029/R/31/X/", "ACK/NAK \"X\" is neither A nor N"},
      {"00/00029/O/31/", "the datagram has 5 of the at least 6 fields TRN/LEN/O|R/OT/data/CS"},
  };
  for (const auto& c : cases) {
    const TDecodedFrame frame = DecodeFrame(RawFrame(c.Body, HexByte(Checksum(c.Body))));
    ASSERT_TRUE(frame.Found) << c.Body;
    ASSERT_EQ(frame.Problems.size(), 1u) << c.Body;
    EXPECT_EQ(frame.Problems[0], c.Problem);
    EXPECT_NE(DecodedText(frame).find(std::string("\nProblem: ") + c.Problem + "\n"),
              std::string::npos);
  }
  const TDecodedFrame bad = DecodeFrame(RawFrame("00/00029/O/31/0123456/0539/", "G1"));
  ASSERT_EQ(bad.Problems.size(), 1u);
  EXPECT_EQ(bad.Problems[0], "CS \"G1\" is not two hex digits");
  EXPECT_FALSE(bad.ChecksumOk);
}

TEST(DecodeFrame, FindsNoFrameWhereThereIsNone) {
  for (const std::string& line :
       {std::string(), std::string("hello"), std::string("<STX>00/00017/O/31//F6"),
        std::string("00/00017/O/31//F6<ETX>"),
        std::string("\x02"
                    "00/00017/O/31//F6"),
        std::string("<ETX>x<STX>"), std::string("\x02 <ETX>")}) {
    const TDecodedFrame frame = DecodeFrame(line);
    EXPECT_FALSE(frame.Found) << line;
    EXPECT_TRUE(frame.Fields.empty());
    EXPECT_EQ(DecodedText(frame), "No frame\n");
    EXPECT_EQ(DecodedJson(frame), "{\"found\":false}");
  }
  // Delimiters around nothing like a datagram still make a frame, a broken one.
  const TDecodedFrame empty = DecodeFrame("<STX><ETX>");
  EXPECT_TRUE(empty.Found);
  EXPECT_FALSE(empty.Problems.empty());
  EXPECT_FALSE(empty.ChecksumOk);
  EXPECT_FALSE(empty.LengthOk);
}

TEST(DecodeFrame, WritesJsonWithEveryValueEscaped) {
  const TDecodedFrame frame =
      DecodeFrame(Frame(31, 0, false, {std::string("a\"b\\c\x01\n\x7F\xE9"), "0539"}));
  const std::string json = DecodedJson(frame);
  EXPECT_EQ(json.substr(0, json.find(",\"checksum\":")),
            "{\"found\":true,\"trn\":\"00\",\"len\":\"00031\",\"realLength\":31,\"lengthOk\":true,"
            "\"kind\":\"O\",\"result\":false,\"ot\":\"31\",\"operation\":\"Alert\"");
  EXPECT_NE(
      json.find("{\"name\":\"AdC\",\"raw\":\"a\\\"b\\\\c\\u0001\\u000A\\u007F\\u00E9\","
                "\"shown\":\"a\\\"b\\\\\\\\c\\\\x01\\\\x0A\\\\x7F\\\\xE9\",\"hidden\":false}"),
      std::string::npos)
      << json;
  EXPECT_NE(json.find("\"operation\":\"Alert\""), std::string::npos);
  EXPECT_NE(json.find("\"checksumOk\":true"), std::string::npos);
  EXPECT_NE(json.find("\"problems\":[]"), std::string::npos);
  for (char c : json) {
    EXPECT_GE(static_cast<unsigned char>(c), 0x20) << json;
    EXPECT_LT(static_cast<unsigned char>(c), 0x7F) << json;
  }
  // The text shows the same value with its octets escaped.
  EXPECT_NE(DecodedText(frame).find("\nAdC: a\"b\\\\c\\x01\\x0A\\x7F\\xE9\n"), std::string::npos);
}

TEST(OperationName, NamesTheKnownOperations) {
  const std::pair<int, const char*> names[] = {
      {1, "Call input"},
      {31, "Alert"},
      {51, "Submit short message"},
      {52, "Delivery short message"},
      {53, "Delivery notification"},
      {54, "Operation 54"},
      {58, "Operation 58"},
      {60, "Session management"},
      {61, "List management"},
      {0, "Operation 00"},
      {99, "Operation 99"},
      {100, "Operation 100"},
      {-1, "Operation -1"},
  };
  for (const auto& [ot, name] : names) EXPECT_EQ(OperationName(ot), name) << ot;
}

}  // namespace
}  // namespace qorvel
