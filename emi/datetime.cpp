#include "emi/datetime.h"

#include <cmath>
#include <ctime>

namespace qorvel {

namespace {

constexpr double kMsPerDay = 86400000.0;

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 of a proleptic Gregorian date (H. Hinnant's civil algorithm).
constexpr long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// Day 0 of the OLE convention, 30 December 1899, counted from 1 January 1970.
// Constant-initialised: a date built at start-up in another file must not
// find them still zero.
constexpr long long kOleEpoch = DaysFromCivil(1899, 12, 30);
constexpr double kMinDateTime = static_cast<double>(DaysFromCivil(1, 1, 1) - kOleEpoch) - 1;
constexpr double kMaxDateTime = static_cast<double>(DaysFromCivil(9999, 12, 31) - kOleEpoch) + 1;

}  // namespace

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool IsValidTime(int hour, int minute, int second, int millisecond) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59 &&
         millisecond >= 0 && millisecond <= 999;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  if (!IsValidDate(year, month, day)) return false;
  value = static_cast<TDateTime>(DaysFromCivil(year, month, day) - kOleEpoch);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& value) {
  if (!IsValidTime(hour, minute, second, millisecond)) return false;
  value = ((hour * 3600 + minute * 60 + second) * 1000.0 + millisecond) / kMsPerDay;
  return true;
}

TDateTime EncodeDateTime(const TDateTimeParts& parts) {
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(parts.Year, parts.Month, parts.Day, date)) return 0;
  if (!TryEncodeTime(parts.Hour, parts.Minute, parts.Second, parts.Millisecond, time)) return 0;
  // Before day 0 the integral part counts days backwards while the fraction
  // still runs forward through the day, so the time is subtracted.
  return date < 0 ? date - time : date + time;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts parts;
  // Outside the years 1 to 9999 there is no calendar date to give.
  if (!std::isfinite(value) || value <= kMinDateTime || value >= kMaxDateTime) return parts;
  double whole = std::trunc(value);
  // Rounding to the millisecond keeps 14:05:59 from reading back as 14:05:58.999.
  auto ms = static_cast<long long>(std::llround(std::fabs(value - whole) * kMsPerDay));
  auto day = static_cast<long long>(whole);
  if (ms >= static_cast<long long>(kMsPerDay)) {
    ms -= static_cast<long long>(kMsPerDay);
    ++day;
  }
  CivilFromDays(day + kOleEpoch, parts.Year, parts.Month, parts.Day);
  parts.Millisecond = static_cast<int>(ms % 1000);
  parts.Second = static_cast<int>(ms / 1000 % 60);
  parts.Minute = static_cast<int>(ms / 60000 % 60);
  parts.Hour = static_cast<int>(ms / 3600000);
  return parts;
}

TDateTime NowDateTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  TDateTimeParts parts;
  parts.Year = local.tm_year + 1900;
  parts.Month = local.tm_mon + 1;
  parts.Day = local.tm_mday;
  parts.Hour = local.tm_hour;
  parts.Minute = local.tm_min;
  // A leap second reads as the last second of its minute.
  parts.Second = local.tm_sec > 59 ? 59 : local.tm_sec;
  parts.Millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return EncodeDateTime(parts);
}

}  // namespace qorvel
