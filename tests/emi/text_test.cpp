#include "emi/text.h"

#include <gtest/gtest.h>

#include <string>

namespace qorvel {
namespace {

using namespace std::string_literals;

TEST(TextHelpers, CaseChangesTouchOnlyAsciiLetters) {
  EXPECT_EQ(AsciiUpper("abc XYZ 09/\xe9\xf1"), "ABC XYZ 09/\xe9\xf1");
  EXPECT_EQ(AsciiLower("ABC xyz 09/\xc9\xd1"), "abc xyz 09/\xc9\xd1");
  EXPECT_EQ(AsciiUpper("a\0b"s), "A\0B"s);
  EXPECT_EQ(AsciiUpper("`{@["), "`{@[");
  EXPECT_EQ(AsciiLower("`{@["), "`{@[");
}

TEST(TextHelpers, TrimmingRemovesSpacesOnly) {
  EXPECT_EQ(TrimLeadingBlanks("  a b  "), "a b  ");
  EXPECT_EQ(TrimTrailingBlanks("  a b  "), "  a b");
  EXPECT_EQ(TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(TrimBlanks("\ta\t"), "\ta\t");
  EXPECT_EQ(TrimBlanks("    "), "");
  EXPECT_EQ(TrimLeadingBlanks("   "), "");
  EXPECT_EQ(TrimTrailingBlanks("   "), "");
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks(" \0 "s), "\0"s);
}

TEST(TextHelpers, RepeatAndBlankTexts) {
  EXPECT_EQ(RepeatText("ab", 3), "ababab");
  EXPECT_EQ(RepeatText("ab", 0), "");
  EXPECT_EQ(RepeatText("ab", -2), "");
  EXPECT_EQ(RepeatText("", 5), "");
  EXPECT_EQ(BlankText(3), "   ");
  EXPECT_EQ(BlankText(0), "");
  EXPECT_EQ(BlankText(-1), "");
}

TEST(TextHelpers, RightJustifyKeepsTheLastCharactersOrPadsLeft) {
  EXPECT_EQ(RightJustify("abc", 5), "  abc");
  EXPECT_EQ(RightJustify("abc", 3), "abc");
  EXPECT_EQ(RightJustify("abcdef", 2), "ef");
  EXPECT_EQ(RightJustify("abc", 0), "");
  EXPECT_EQ(RightJustify("abc", -1), "");
  EXPECT_EQ(RightJustify("", 2), "  ");
}

TEST(TextHelpers, ReverseAndChoose) {
  EXPECT_EQ(ReverseText("abc\0d"s), "d\0cba"s);
  EXPECT_EQ(ReverseText(""), "");
  EXPECT_EQ(ChooseText(true, "a", "b"), "a");
  EXPECT_EQ(ChooseText(false, "a", "b"), "b");
}

}  // namespace
}  // namespace qorvel
