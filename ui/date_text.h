#pragma once
// Date-times as the user reads them: the system locale's short date and long
// time. Main thread (QLocale).
#include <QString>

#include "emi/datetime.h"

namespace qorvel {

// "0" (no time) gives an empty text. With aOmitMidnight the time is left out
// when it is exactly midnight, as a date-only value reads.
QString DateTimeText(TDateTime aValue, bool aOmitMidnight = true);

}  // namespace qorvel
