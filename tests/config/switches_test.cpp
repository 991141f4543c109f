#include "config/switches.h"

#include <gtest/gtest.h>

namespace qorvel {
namespace {

TEST(Switches, TheCommandLineCanBeSet) {
  const char* argv[] = {"qorvel", "-I:/etc/emi.ini", "file"};
  SetCommandLine(3, argv);
  EXPECT_EQ(ParamCount(), 2);
  EXPECT_EQ(ParamStr(0), "qorvel");
  EXPECT_EQ(ParamStr(2), "file");
  EXPECT_EQ(ParamStr(3), "");
  EXPECT_EQ(ParamStr(-1), "");
  SetCommandLine({"qorvel"});
  EXPECT_EQ(ParamCount(), 0);
  EXPECT_FALSE(FindSwitch("I:", 0));
  EXPECT_FALSE(FindSwitch("", 0));
}

TEST(Switches, NamesMatchByPrefixInAnyCaseUnlessCaseSensitive) {
  SetCommandLine({"qorvel", "/regserver", "-i:C:/x.ini"});
  EXPECT_TRUE(FindSwitch("REGSERVER", 0));
  EXPECT_TRUE(FindSwitch("RegServer", 0));
  EXPECT_TRUE(FindSwitch("REG", 0));
  EXPECT_FALSE(FindSwitch("REGSERVERS", 0));
  EXPECT_FALSE(FindSwitch("REGSERVER", swCaseSensitive));
  EXPECT_TRUE(FindSwitch("regserver", swCaseSensitive));
  EXPECT_TRUE(FindSwitch("I:", 0));
  EXPECT_FALSE(FindSwitch("I:", swCaseSensitive));
  // The switch character itself is never part of the name.
  EXPECT_FALSE(FindSwitch("/REGSERVER", 0));
  EXPECT_FALSE(FindSwitch("UNREGSERVER", 0));
}

TEST(Switches, AnIFollowedByAnotherCharacterIsNotTheISwitch) {
  SetCommandLine({"qorvel", "-I", "-Ix/a.ini", "/I=b.ini", "I:c.ini"});
  std::string value = "untouched";
  EXPECT_FALSE(GetSwitch("I:", 0, value));
  EXPECT_EQ(value, "untouched");
  SetCommandLine({"qorvel", "-I", "-Ix/a.ini", "/i:d.ini"});
  EXPECT_TRUE(GetSwitch("I:", 0, value));
  EXPECT_EQ(value, "d.ini");
}

TEST(Switches, GetSwitchGivesTheRestOfTheParameter) {
  SetCommandLine({"qorvel", "plain", "-I:/Home/Emi.Ini", "/AUTOMATION", "-I:"});
  std::string value;
  ASSERT_TRUE(GetSwitch("i:", 0, value));
  EXPECT_EQ(value, "/Home/Emi.Ini");
  ASSERT_TRUE(GetSwitch("AUTO", 0, value));
  EXPECT_EQ(value, "MATION");
  // An empty name finds the next parameter that is not a switch, whole.
  ASSERT_TRUE(GetSwitch("", 0, value));
  EXPECT_EQ(value, "plain");
}

TEST(Switches, ValueConversionNeedsConvertValue) {
  SetCommandLine({"qorvel", "-Mode:MiXed"});
  std::string value;
  ASSERT_TRUE(GetSwitch("MODE:", swUpperValue, value));
  EXPECT_EQ(value, "MiXed");
  ASSERT_TRUE(GetSwitch("MODE:", swLowerValue, value));
  EXPECT_EQ(value, "MiXed");
  ASSERT_TRUE(GetSwitch("MODE:", swConvertValue, value));
  EXPECT_EQ(value, "MiXed");
  ASSERT_TRUE(GetSwitch("MODE:", swConvertValue | swUpperValue, value));
  EXPECT_EQ(value, "MIXED");
  ASSERT_TRUE(GetSwitch("MODE:", swConvertValue | swLowerValue, value));
  EXPECT_EQ(value, "mixed");
  // Upper wins when both are given.
  ASSERT_TRUE(GetSwitch("MODE:", swConvertValue | swUpperValue | swLowerValue, value));
  EXPECT_EQ(value, "MIXED");
}

TEST(Switches, EmptyParametersAndLoneSwitchCharacters) {
  SetCommandLine({"qorvel", "-", "/", "", "x"});
  std::string value = "before";
  // A lone "-" is a switch with an empty name: no name matches it...
  EXPECT_FALSE(FindSwitch("I:", 0));
  // ...and an empty parameter is not a switch, so an empty name finds it.
  ASSERT_TRUE(GetSwitch("", 0, value));
  EXPECT_EQ(value, "");
}

TEST(Switches, ThePositionIsSharedAndContinueGoesOnFromIt) {
  SetCommandLine({"qorvel", "a", "-X:1", "b", "-X:2", "c"});
  std::string value;
  ASSERT_TRUE(GetSwitch("", 0, value));
  EXPECT_EQ(value, "a");
  // Without swContinue every scan starts again at the first parameter.
  ASSERT_TRUE(GetSwitch("", 0, value));
  EXPECT_EQ(value, "a");
  // The position stays at what was found: continuing finds it again until
  // another scan moves on.
  ASSERT_TRUE(GetSwitch("X:", swContinue, value));
  EXPECT_EQ(value, "1");
  ASSERT_TRUE(GetSwitch("X:", swContinue, value));
  EXPECT_EQ(value, "1");
  ASSERT_TRUE(GetSwitch("", swContinue, value));
  EXPECT_EQ(value, "b");
  ASSERT_TRUE(GetSwitch("X:", swContinue, value));
  EXPECT_EQ(value, "2");
  ASSERT_TRUE(GetSwitch("", swContinue, value));
  EXPECT_EQ(value, "c");
  EXPECT_FALSE(GetSwitch("X:", swContinue, value));
  EXPECT_EQ(value, "c");
  // Beyond the end, continuing finds nothing; a fresh scan does.
  EXPECT_FALSE(FindSwitch("", swContinue));
  EXPECT_TRUE(FindSwitch("X:", 0));
  // Setting the command line starts the position again.
  SetCommandLine({"qorvel", "-X:9"});
  ASSERT_TRUE(GetSwitch("X:", swContinue, value));
  EXPECT_EQ(value, "9");
}

}  // namespace
}  // namespace qorvel
