#pragma once
// Date-times as the user reads them: the system locale's short date and long
// time. Main thread (QLocale).
#include <QString>
#include <string>

#include "emi/datetime.h"

namespace qorvel {

// "0" (no time) gives an empty text. With aOmitMidnight the time is left out
// when it is exactly midnight, as a date-only value reads.
QString DateTimeText(TDateTime aValue, bool aOmitMidnight = true);

// DateTimeText() in the octets the log views show. A locale may put characters
// there that no octet stands for, such as the narrow no-break space before
// "PM": blanks become spaces, the rest "?".
std::string DateTimeOctets(TDateTime aValue);

}  // namespace qorvel
