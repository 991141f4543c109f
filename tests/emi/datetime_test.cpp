#include "emi/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

namespace qorvel {
namespace {

TDateTime Encode(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

void ExpectParts(TDateTime value, int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  TDateTimeParts p = DecodeDateTime(value);
  EXPECT_EQ(p.Year, y);
  EXPECT_EQ(p.Month, mo);
  EXPECT_EQ(p.Day, d);
  EXPECT_EQ(p.Hour, h);
  EXPECT_EQ(p.Minute, mi);
  EXPECT_EQ(p.Second, s);
  EXPECT_EQ(p.Millisecond, ms);
}

TEST(DateTime, FollowsTheOleDayCount) {
  EXPECT_EQ(Encode(1899, 12, 30), 0.0);
  EXPECT_EQ(Encode(1899, 12, 31), 1.0);
  EXPECT_EQ(Encode(1900, 1, 1), 2.0);
  EXPECT_EQ(Encode(1899, 12, 29), -1.0);
  EXPECT_EQ(Encode(2000, 1, 1), 36526.0);
  EXPECT_EQ(Encode(2003, 5, 7), 37748.0);
  EXPECT_DOUBLE_EQ(Encode(1899, 12, 30, 12), 0.5);
  EXPECT_DOUBLE_EQ(Encode(1899, 12, 30, 6), 0.25);
  // Before day 0 the fraction still counts forward through the day.
  EXPECT_DOUBLE_EQ(Encode(1899, 12, 29, 6), -1.25);
  ExpectParts(-1.25, 1899, 12, 29, 6, 0, 0);
}

TEST(DateTime, DecodesWhatItEncodes) {
  ExpectParts(Encode(2003, 5, 7, 14, 5, 59), 2003, 5, 7, 14, 5, 59);
  ExpectParts(Encode(2099, 12, 31, 23, 59, 59, 999), 2099, 12, 31, 23, 59, 59, 999);
  ExpectParts(Encode(2024, 2, 29, 0, 0, 1), 2024, 2, 29, 0, 0, 1);
  ExpectParts(Encode(1, 1, 1), 1, 1, 1, 0, 0, 0);
  ExpectParts(Encode(9999, 12, 31, 23, 59, 59), 9999, 12, 31, 23, 59, 59);
  for (int second = 0; second < 86400; second += 7) {
    TDateTime v = Encode(2010, 6, 15, second / 3600, second / 60 % 60, second % 60);
    ExpectParts(v, 2010, 6, 15, second / 3600, second / 60 % 60, second % 60);
  }
}

TEST(DateTime, RoundsToTheMillisecondAcrossMidnight) {
  TDateTime justBeforeMidnight = Encode(2003, 5, 7) + 1.0 - 1e-10;
  ExpectParts(justBeforeMidnight, 2003, 5, 8, 0, 0, 0);
}

TEST(DateTime, RejectsInvalidDatesAndTimes) {
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(1900, 2, 29));
  EXPECT_FALSE(IsValidDate(2003, 2, 29));
  EXPECT_FALSE(IsValidDate(2003, 13, 1));
  EXPECT_FALSE(IsValidDate(2003, 0, 1));
  EXPECT_FALSE(IsValidDate(2003, 4, 31));
  EXPECT_FALSE(IsValidDate(2003, 1, 0));
  EXPECT_FALSE(IsValidDate(0, 1, 1));
  EXPECT_FALSE(IsValidDate(10000, 1, 1));
  EXPECT_TRUE(IsValidTime(23, 59, 59, 999));
  EXPECT_FALSE(IsValidTime(24, 0, 0));
  EXPECT_FALSE(IsValidTime(0, 60, 0));
  EXPECT_FALSE(IsValidTime(0, 0, 60));
  EXPECT_FALSE(IsValidTime(0, 0, 0, 1000));
  EXPECT_FALSE(IsValidTime(-1, 0, 0));

  TDateTime value = 42;
  EXPECT_FALSE(TryEncodeDate(2003, 2, 30, value));
  EXPECT_FALSE(TryEncodeTime(25, 0, 0, 0, value));
  EXPECT_EQ(value, 42);
  EXPECT_EQ(Encode(2003, 2, 30, 12), 0.0);
}

TEST(DateTime, DecodingNonsenseGivesDayZero) {
  ExpectParts(NAN, 1899, 12, 30, 0, 0, 0);
  ExpectParts(1e300, 1899, 12, 30, 0, 0, 0);
  ExpectParts(-1e300, 1899, 12, 30, 0, 0, 0);
}

TEST(DateTime, NowIsTheLocalCalendarTime) {
  std::time_t before = std::time(nullptr);
  TDateTime now = NowDateTime();
  std::time_t after = std::time(nullptr);
  std::tm lo{}, hi{};
  localtime_r(&before, &lo);
  localtime_r(&after, &hi);
  TDateTime low = Encode(lo.tm_year + 1900, lo.tm_mon + 1, lo.tm_mday, lo.tm_hour, lo.tm_min,
                         lo.tm_sec > 59 ? 59 : lo.tm_sec);
  TDateTime high = Encode(hi.tm_year + 1900, hi.tm_mon + 1, hi.tm_mday, hi.tm_hour, hi.tm_min,
                          hi.tm_sec > 59 ? 59 : hi.tm_sec) +
                   // time() reads a coarse clock that can lag the precise one
                   // into the next second.
                   2.0 / 86400;
  EXPECT_GE(now, low);
  EXPECT_LE(now, high);
}

}  // namespace
}  // namespace qorvel
