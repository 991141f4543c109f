#include "transport/socket_error.h"

#include <cstring>

namespace qorvel {

namespace {

// strerror_r comes in a GNU and an XSI flavour; accept either.
[[maybe_unused]] const char* Pick(char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* Pick(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}

// "Socket error: %s (%d), on API '%s'", built without a format buffer to
// size.
std::string Format(int aErrorCode, const std::string& aApi) {
  return "Socket error: " + SystemErrorText(aErrorCode) + " (" + std::to_string(aErrorCode) +
         "), on API '" + aApi + "'";
}

}  // namespace

std::string SystemErrorText(int aErrorCode) {
  char buffer[256] = {};
  return Pick(strerror_r(aErrorCode, buffer, sizeof buffer), buffer);
}

ESocketError::ESocketError(int aErrorCode, const std::string& aApi)
    : EConnectError(Format(aErrorCode, aApi)), ErrorCode(aErrorCode), Api(aApi) {}

}  // namespace qorvel
