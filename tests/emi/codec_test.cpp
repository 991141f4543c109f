#include "emi/codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "emi/params.h"

namespace qorvel {
namespace {

using namespace std::string_literals;

TEST(ReadInteger, BadOrEmptyTextsReadAsZero) {
  EXPECT_EQ(ReadInteger(""), 0);
  EXPECT_EQ(ReadInteger("0"), 0);
  EXPECT_EQ(ReadInteger("000"), 0);
  EXPECT_EQ(ReadInteger("$"), 0);
  EXPECT_EQ(ReadInteger("   "), 0);
  EXPECT_EQ(ReadInteger("abc"), 0);
  EXPECT_EQ(ReadInteger("$1G"), 0);
  EXPECT_EQ(ReadInteger("$ 1"), 0);
  EXPECT_EQ(ReadInteger("-"), 0);
}

TEST(ReadInteger, DecimalStopsAtTheFirstNonDigit) {
  EXPECT_EQ(ReadInteger(" 0042 "), 42);
  EXPECT_EQ(ReadInteger("-5"), -5);
  EXPECT_EQ(ReadInteger("+7"), 7);
  EXPECT_EQ(ReadInteger("12x"), 12);
  EXPECT_EQ(ReadInteger("12 3"), 12);
  EXPECT_EQ(ReadInteger("00-5"), -5);
  EXPECT_EQ(ReadInteger("2147483647"), 2147483647);
  EXPECT_EQ(ReadInteger("-2147483648"), INT32_MIN);
  // The digit that would overflow ends the reading.
  EXPECT_EQ(ReadInteger("2147483648"), 214748364);
  EXPECT_EQ(ReadInteger("-2147483649"), -214748364);
  EXPECT_EQ(ReadInteger("99999999999999999999"), 999999999);
}

TEST(ReadInteger, HexAfterDollarInEitherCase) {
  EXPECT_EQ(ReadInteger("$1f"), 31);
  EXPECT_EQ(ReadInteger("$1F"), 31);
  EXPECT_EQ(ReadInteger("0$1F"), 31);
  EXPECT_EQ(ReadInteger(" $ff "), 255);
  EXPECT_EQ(ReadInteger("$FFFFFFFF"), -1);
  EXPECT_EQ(ReadInteger("$100000001"), 1);  // kept in 32 bits
}

TEST(TryReadInteger, AcceptsOnlyWholeIntegerTexts) {
  int32_t v = 99;
  EXPECT_TRUE(TryReadInteger("00020", v));
  EXPECT_EQ(v, 20);
  EXPECT_TRUE(TryReadInteger("-5", v));
  EXPECT_EQ(v, -5);
  EXPECT_TRUE(TryReadInteger("+5", v));
  EXPECT_EQ(v, 5);
  EXPECT_TRUE(TryReadInteger("$1f", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(TryReadInteger("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(TryReadInteger("$000000000FF", v));
  EXPECT_EQ(v, 255);
  v = 99;
  for (const char* bad : {"", "-", "+", "$", "12x", " 12", "12 ", "1.5", "$1G", "2147483648",
                          "-2147483649", "$123456789", "--1", "0x1F"}) {
    EXPECT_FALSE(TryReadInteger(bad, v)) << '"' << bad << '"';
    EXPECT_EQ(v, 99) << '"' << bad << '"';
  }
}

TEST(IntToHex, EvenNumberOfUpperCaseDigits) {
  EXPECT_EQ(IntToHexDigits(0), "$0");
  EXPECT_EQ(IntToHexDigits(10), "$0A");
  EXPECT_EQ(IntToHexDigits(255), "$FF");
  EXPECT_EQ(IntToHexDigits(256), "$0100");
  EXPECT_EQ(IntToHexDigits(4096), "$1000");
  EXPECT_EQ(IntToHexDigits(0xFFFFFFFF), "$FFFFFFFF");
  EXPECT_EQ(IntToHexDigits(0x0ABCDEF1), "$0ABCDEF1");
  EXPECT_EQ(IntToHexWidth(10, 4), "$000A");
  EXPECT_EQ(IntToHexWidth(0, 2), "$00");
  EXPECT_EQ(IntToHexWidth(4096, 2), "$1000");
  EXPECT_EQ(IntToHexWidth(255, 0), "$FF");
  EXPECT_EQ(IntToHexWidth(1, 3), "$001");
}

TEST(IntToHex, ReadsBackThroughReadInteger) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    uint32_t value = rng();
    EXPECT_EQ(static_cast<uint32_t>(ReadInteger(IntToHexDigits(value))), value);
  }
}

TEST(TextToHex, TwoUpperCaseDigitsPerOctet) {
  EXPECT_EQ(TextToHex("Hello"), "48656C6C6F");
  EXPECT_EQ(TextToHex(""), "");
  EXPECT_EQ(TextToHex("\0"s), "00");
  EXPECT_EQ(TextToHex("\xe9"), "E9");
  EXPECT_EQ(TextToHex("\x0a\xff/"), "0AFF2F");
}

TEST(HexToText, DefinedResultsForEveryInput) {
  EXPECT_EQ(HexToText("48656C6C6F"), "Hello");
  EXPECT_EQ(HexToText("48656c6c6f"), "Hello");
  EXPECT_EQ(HexToText("4G41"), "\0A"s);
  EXPECT_EQ(HexToText("414"), "A\x04"s);
  EXPECT_EQ(HexToText("4 "), "\x04"s);
  EXPECT_EQ(HexToText(" 4"), "\0"s);
  EXPECT_EQ(HexToText("  "), "\0"s);
  EXPECT_EQ(HexToText("G"), "\0"s);
  EXPECT_EQ(HexToText(" "), "\0"s);
  EXPECT_EQ(HexToText(""), "");
  EXPECT_EQ(HexToText("00"), "\0"s);
}

// Every pair of octets must decode exactly as "$" + pair read by ReadInteger.
TEST(HexToText, EveryPairReadsLikeReadInteger) {
  for (int a = 0; a < 256; ++a) {
    std::string single(1, static_cast<char>(a));
    ASSERT_EQ(HexToText(single), std::string(1, static_cast<char>(ReadInteger("$" + single)))) << a;
    for (int b = 0; b < 256; ++b) {
      std::string pair = {static_cast<char>(a), static_cast<char>(b)};
      char expected = static_cast<char>(ReadInteger("$" + pair) & 0xFF);
      ASSERT_EQ(HexToText(pair), std::string(1, expected)) << a << ' ' << b;
    }
  }
}

TEST(HexToText, UndoesTextToHexForAnyOctets) {
  std::mt19937 rng(12345);
  for (int i = 0; i < 500; ++i) {
    std::string text(rng() % 64, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 256);
    if (i % 5 == 0 && !text.empty()) text[rng() % text.size()] = '\0';
    ASSERT_EQ(HexToText(TextToHex(text)), text);
  }
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(HexToText(TextToHex(all)), all);
}

TEST(FieldList, JoinCountAndPick) {
  EXPECT_EQ(JoinFields({"A", "", "B"}), "A//B");
  EXPECT_EQ(FieldCount("A//B"), 3);
  EXPECT_EQ(FieldAt("A//B", 0), "A");
  EXPECT_EQ(FieldAt("A//B", 1), "");
  EXPECT_EQ(FieldAt("A//B", 2), "B");
  EXPECT_EQ(FieldAt("A//B", 7), "");
  EXPECT_EQ(FieldAt("A//B", -1), "");
  EXPECT_EQ(JoinFields({""}), "");
  EXPECT_EQ(JoinFields({"", ""}), "/");
  EXPECT_EQ(JoinFields({}), "");
  EXPECT_EQ(FieldCount(""), 1);
  EXPECT_EQ(FieldCount("/"), 2);
  EXPECT_EQ(FieldAt("", 0), "");
  EXPECT_EQ(FieldAt("a/b/", 2), "");
  EXPECT_EQ(FieldCount("a/b/"), 3);
  EXPECT_EQ(FieldAt("a\0b/c"s, 0), "a\0b"s);
}

TEST(FieldList, JoinedFieldsComeBackOneByOne) {
  std::vector<std::string> fields = {"00", "", "O", "51", "x y", "", ""};
  std::string list = JoinFields(fields);
  ASSERT_EQ(FieldCount(list), static_cast<int>(fields.size()));
  for (std::size_t i = 0; i < fields.size(); ++i)
    EXPECT_EQ(FieldAt(list, static_cast<int>(i)), fields[i]);
}

TEST(FieldList, TextsThatWouldShiftAFieldAreNotJoined) {
  EXPECT_EQ(JoinFieldTexts({"0612", "", "x y"}), "0612//x y");
  for (const std::string& bad : {"06/12"s, "a\x02"s, "\x03"s, "/"s}) {
    EXPECT_NE(FieldTextError(bad), nullptr) << bad;
    EXPECT_EQ(JoinFieldTexts({"1", bad}), std::nullopt) << bad;
  }
}

TDateTime Moment(int y, int mo, int d, int h, int mi, int s) {
  return EncodeDateTime({y, mo, d, h, mi, s, 0});
}

TEST(TimeStamp, WritesTenDigitsAndDropsSeconds) {
  EXPECT_EQ(DateTimeToStamp(Moment(2003, 5, 7, 14, 5, 59)), "0705031405");
  EXPECT_EQ(DateTimeToStamp(Moment(1999, 12, 31, 23, 59, 59)), "3112992359");
  EXPECT_EQ(DateTimeToStamp(EncodeDateTime({2003, 5, 7, 14, 5, 59, 999})), "0705031405");
  EXPECT_EQ(DateTimeToStamp(Moment(2000, 1, 1, 0, 0, 0)), "0101000000");
}

TEST(TimeStamp, ReadsDateAndTimeEachOnItsOwn) {
  EXPECT_DOUBLE_EQ(StampToDateTime("070503140559"), Moment(2003, 5, 7, 14, 5, 59));
  EXPECT_DOUBLE_EQ(StampToDateTime("0705031405"), Moment(2003, 5, 7, 14, 5, 0));
  EXPECT_DOUBLE_EQ(StampToDateTime("320503140559"), Moment(1899, 12, 30, 14, 5, 59));
  EXPECT_DOUBLE_EQ(StampToDateTime("07050314"), Moment(2003, 5, 7, 0, 0, 0));
  EXPECT_DOUBLE_EQ(StampToDateTime("071303140559"), Moment(1899, 12, 30, 14, 5, 59));
  EXPECT_EQ(StampToDateTime(""), 0.0);
  EXPECT_EQ(StampToDateTime("garbage!"), 0.0);
  EXPECT_DOUBLE_EQ(StampToDateTime("29020012"), Moment(2000, 2, 29, 0, 0, 0));
  EXPECT_EQ(StampToDateTime("290201"), 0.0);  // 2001 has no 29 February
  EXPECT_EQ(StampToDateTime("0705032405"), Moment(2003, 5, 7, 0, 0, 0));
  EXPECT_EQ(StampToDateTime("0705031460"), Moment(2003, 5, 7, 0, 0, 0));
  EXPECT_EQ(StampToDateTime("070503140560"), Moment(2003, 5, 7, 0, 0, 0));
  EXPECT_EQ(StampToDateTime("0705031405x"), Moment(2003, 5, 7, 0, 0, 0));
  EXPECT_EQ(StampToDateTime("07 503140559"), Moment(1899, 12, 30, 14, 5, 59));
}

TEST(TimeStamp, TwoDigitYearsAreAlwaysThisCentury) {
  TDateTime back = StampToDateTime(DateTimeToStamp(Moment(1999, 12, 31, 23, 59, 59)));
  EXPECT_DOUBLE_EQ(back, Moment(2099, 12, 31, 23, 59, 0));
  EXPECT_DOUBLE_EQ(StampToDateTime("010100000000"), Moment(2000, 1, 1, 0, 0, 0));
  EXPECT_DOUBLE_EQ(StampToDateTime("0101-11200"), Moment(1899, 12, 30, 12, 0, 0));
  EXPECT_DOUBLE_EQ(StampToDateTime("0101+11200"), Moment(1899, 12, 30, 12, 0, 0));
  EXPECT_DOUBLE_EQ(StampToDateTime("$10101$C00"), 0.0) << "time-stamp pieces are decimal";
}

TEST(SmscAddress, ToSmscStripsHashAndReplacesPlus) {
  TParams params;
  params.SetValue("SMT_INT_PREFIX", "00");
  EXPECT_EQ(ToSmscAddress("#5555", params), "5555");
  EXPECT_EQ(ToSmscAddress("+441632960000", params), "00441632960000");
  EXPECT_EQ(ToSmscAddress("+", params), "00");
  EXPECT_EQ(ToSmscAddress("#", params), "");
  EXPECT_EQ(ToSmscAddress("", params), "");
  EXPECT_EQ(ToSmscAddress("0601234567", params), "0601234567");
  EXPECT_EQ(ToSmscAddress("Operator", params), "Operator");
  EXPECT_EQ(ToSmscAddress("4+1", params), "4+1");

  TParams lowerCase;
  lowerCase.AddLine("smt_int_prefix=011");
  EXPECT_EQ(ToSmscAddress("+1555", lowerCase), "0111555");
  EXPECT_EQ(ToSmscAddress("+441632960000", TParams()), "441632960000");
}

TEST(SmscAddress, ARecipientIsDigitsOnlyAndFitsTheAddressField) {
  TParams params;
  params.SetValue("SMT_INT_PREFIX", "00");
  struct TRow {
    const char* Number;
    bool Valid;
  };
  for (const TRow& r : {TRow{"0612345678", true}, TRow{"+441632960000", true}, TRow{"#5555", true},
                        TRow{"1234567890123456", true}, TRow{"+44163296000012", true},
                        TRow{"12345678901234567", false}, TRow{"+441632960000123", false},
                        TRow{"0612/345", false}, TRow{"abc12", false}, TRow{"", false},
                        TRow{"+", false}, TRow{"4+1", false}, TRow{"06 12", false},
                        TRow{"06\x03", false}})
    EXPECT_EQ(RecipientError(r.Number, params) == nullptr, r.Valid) << r.Number;
  TParams letters;
  letters.SetValue("SMT_INT_PREFIX", "x");
  EXPECT_NE(RecipientError("+44", letters), nullptr) << "a prefix that is no digits";
}

TEST(SmscAddress, FromSmscAppliesTheFirstRuleThatFits) {
  EXPECT_EQ(FromSmscAddress("00441632960000"), "+441632960000");
  EXPECT_EQ(FromSmscAddress("441632960000"), "+441632960000");
  EXPECT_EQ(FromSmscAddress("0601234567"), "0601234567");
  EXPECT_EQ(FromSmscAddress("Operator"), "Operator");
  EXPECT_EQ(FromSmscAddress("5555"), "#5555");
  EXPECT_EQ(FromSmscAddress("123456"), "#123456");
  EXPECT_EQ(FromSmscAddress("1234567"), "1234567");
  EXPECT_EQ(FromSmscAddress("12345678901"), "12345678901");
  EXPECT_EQ(FromSmscAddress("123456789012"), "+123456789012");
  EXPECT_EQ(FromSmscAddress("0012"), "+12");
  EXPECT_EQ(FromSmscAddress("00"), "+");
  EXPECT_EQ(FromSmscAddress("0"), "0");
  EXPECT_EQ(FromSmscAddress("012"), "012");
  EXPECT_EQ(FromSmscAddress("A12"), "A12");
  EXPECT_EQ(FromSmscAddress(""), "");
}

}  // namespace
}  // namespace qorvel
