#pragma once
// A 32-bit millisecond uptime counter that wraps like the classic one; an
// elapsed time is the absolute signed difference of two readings.
#include <chrono>
#include <cstdint>

namespace qorvel {

inline uint32_t TickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

inline uint32_t TicksBetween(uint32_t from, uint32_t to) {
  int32_t d = static_cast<int32_t>(to - from);
  return d < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(d)) : static_cast<uint32_t>(d);
}

inline uint32_t TicksSince(uint32_t from) {
  return TicksBetween(from, TickCount());
}

}  // namespace qorvel
