#include "config/ini_edit.h"

#include <gtest/gtest.h>

namespace qorvel {
namespace {

TEST(IniEdit, ReplacesTheValueAndKeepsEverythingElse) {
  const std::string before =
      "; settings\r\n[EMI]\r\n  ip = 1.2.3.4 ; old\r\n# port below\r\nPort=1\r\nOther=x\r\n";
  EXPECT_EQ(SetIniValue(before, "emi", "IP", "10.0.0.1"),
            "; settings\r\n[EMI]\r\n  ip = 10.0.0.1\r\n# port below\r\nPort=1\r\nOther=x\r\n");
  EXPECT_EQ(SetIniValue(before, "EMI", "port", ""),
            "; settings\r\n[EMI]\r\n  ip = 1.2.3.4 ; old\r\n# port below\r\nPort=\r\nOther=x\r\n");
}

TEST(IniEdit, NewKeyFollowsTheLastKeyOfItsSection) {
  const std::string before = "[A]\nx=1\n\n; about B\n[B]\ny=2\n";
  EXPECT_EQ(SetIniValue(before, "a", "z", "3"), "[A]\nx=1\nz=3\n\n; about B\n[B]\ny=2\n");
  EXPECT_EQ(SetIniValue("[A]\n\n[B]\n", "A", "k", "v"), "[A]\nk=v\n\n[B]\n");
  EXPECT_EQ(SetIniValue("[A]\nx=1", "A", "y", "2"), "[A]\nx=1\ny=2\n");
}

TEST(IniEdit, NewSectionIsAppendedInTheFileLineEnding) {
  EXPECT_EQ(SetIniValue("", "EMI", "Port", "5"), "[EMI]\nPort=5\n");
  EXPECT_EQ(SetIniValue("[A]\r\nx=1", "B", "y", "2"), "[A]\r\nx=1\r\n[B]\r\ny=2\r\n");
  EXPECT_EQ(SetIniValue("; only a comment", "B", "y", "2"), "; only a comment\n[B]\ny=2\n");
}

TEST(IniEdit, LinesTheReaderIgnoresAreNeverTakenForTheKey) {
  // A commented-out key, a key-less line and a broken header stay as they are;
  // the key behind the broken header belongs to no section a write can name.
  const std::string before = "[EMI]\n;Port=1\n#Port=2\nPort\n=Port\n[EMI\nPort=3\n";
  EXPECT_EQ(SetIniValue(before, "EMI", "Port", "9"),
            "[EMI]\nPort=9\n;Port=1\n#Port=2\nPort\n=Port\n[EMI\nPort=3\n");
  // The same key in another section is not touched.
  EXPECT_EQ(SetIniValue("[X]\nPort=1\n[EMI]\n", "EMI", "Port", "2"),
            "[X]\nPort=1\n[EMI]\nPort=2\n");
}

TEST(IniEdit, EveryCopyOfADuplicatedKeyOrSectionGetsTheValue) {
  EXPECT_EQ(SetIniValue("[A]\nk=1\n[B]\n[a]\nK=2\n", "A", "k", "3"), "[A]\nk=3\n[B]\n[a]\nK=3\n");
}

TEST(IniEdit, EntriesThatWouldChangeTheFileStructureAreNotStorable) {
  EXPECT_TRUE(IsStorableIniEntry("EMI", "Port", "5"));
  EXPECT_TRUE(IsStorableIniEntry("EMI", "Message", "a=b;c#[d]"));
  EXPECT_TRUE(IsStorableIniEntry("EMI.Connection", "Password", ""));
  EXPECT_FALSE(IsStorableIniEntry("EMI", "IP", "1.2.3.4\n[Evil]\nUser=x"));
  EXPECT_FALSE(IsStorableIniEntry("EMI", "IP", "a\rb"));
  EXPECT_FALSE(IsStorableIniEntry("EMI\n", "IP", "x"));
  EXPECT_FALSE(IsStorableIniEntry("", "IP", "x"));
  EXPECT_FALSE(IsStorableIniEntry("EMI", " ", "x"));
  EXPECT_FALSE(IsStorableIniEntry("A]B", "IP", "x"));
  EXPECT_FALSE(IsStorableIniEntry("EMI", "a=b", "x"));
  EXPECT_FALSE(IsStorableIniEntry("EMI", ";IP", "x"));
  EXPECT_FALSE(IsStorableIniEntry("EMI", "#IP", "x"));
  EXPECT_FALSE(IsStorableIniEntry("EMI", "[IP", "x"));
}

}  // namespace
}  // namespace qorvel
