#include "transport/socket_error.h"

#include <cstdio>
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

std::string Format(int aErrorCode, const std::string& aApi) {
  const std::string text = SystemErrorText(aErrorCode);
  const int size = std::snprintf(nullptr, 0, "Windows socket error: %s (%d), on API '%s'",
                                 text.c_str(), aErrorCode, aApi.c_str());
  std::string message(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(message.data(), message.size(), "Windows socket error: %s (%d), on API '%s'",
                text.c_str(), aErrorCode, aApi.c_str());
  message.resize(static_cast<std::size_t>(size));
  return message;
}

}  // namespace

std::string SystemErrorText(int aErrorCode) {
  char buffer[256] = {};
  return Pick(strerror_r(aErrorCode, buffer, sizeof buffer), buffer);
}

ESocketError::ESocketError(int aErrorCode, const std::string& aApi)
    : EConnectError(Format(aErrorCode, aApi)), ErrorCode(aErrorCode), Api(aApi) {}

}  // namespace qorvel
