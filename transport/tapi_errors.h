#pragma once
// Telephony results: negative values are failures, named by TAPIErrorText.
// Pure functions; any thread may call them.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qorvel {

// A failed telephony call; carries only its message.
class ETAPIError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns a result of 0 or more unchanged; raises ETAPIError with
// TAPIErrorText for a negative one.
int32_t TAPICheck(int32_t aResult);

// The number under which the platform would keep a message for `aCode`:
// the low 16 bits for 0xFFFF0001..0xFFFFFFFF, otherwise 0xF0nn for a
// PHONEERR_ code 0x900000nn and 0xE0nn for a LINEERR_ code 0x800000nn.
uint32_t TAPISystemNumber(int32_t aCode);

// "TAPI error: LINEERR_<name>" for a line error with an entry, else
// "TAPI error: " and the system number in upper-case hex digits. This
// platform has no system messages for these numbers.
std::string TAPIErrorText(int32_t aCode);

}  // namespace qorvel
