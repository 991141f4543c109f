#pragma once
// A failed socket call, reported with the system's error text, the error
// number and the name of the call.
#include <string>

#include "connect/errors.h"

namespace qorvel {

class ESocketError : public EConnectError {
 public:
  ESocketError(int aErrorCode, const std::string& aApi);
  int ErrorCode;
  std::string Api;
};

// The system's text for an errno value.
std::string SystemErrorText(int aErrorCode);

}  // namespace qorvel
