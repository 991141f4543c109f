#pragma once
// Date-times are OLE Automation dates: days since 30 December 1899, the
// fraction the time of day, local time; 0 stands for no time.
#include <cstdint>

namespace qorvel {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

bool IsValidDate(int year, int month, int day);
bool IsValidTime(int hour, int minute, int second, int millisecond = 0);
// False (and `value` untouched) for an invalid date.
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& value);
TDateTime EncodeDateTime(const TDateTimeParts& parts);
TDateTimeParts DecodeDateTime(TDateTime value);
// The present moment in local time.
TDateTime NowDateTime();

}  // namespace qorvel
