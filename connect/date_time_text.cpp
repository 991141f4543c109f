#include "connect/date_time_text.h"

namespace qorvel {

std::string LocaleDateTimeText(std::time_t aTime) {
  std::tm local{};
  if (!localtime_r(&aTime, &local)) return {};
  char buffer[256];
  const std::size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
  return std::string(buffer, n);
}

}  // namespace qorvel
