#pragma once
// The current locale's date and time text ("%x %X" of the C library), as the
// log stamps show it. The program's locale is whatever setlocale made it.
#include <ctime>
#include <string>

namespace qorvel {

std::string LocaleDateTimeText(std::time_t aTime);

}  // namespace qorvel
