#pragma once
// The failures of the connection components and the EMI engine. Messages are
// the system's own user-visible texts.
#include <stdexcept>
#include <string>

namespace qorvel {

class EConnectError : public std::runtime_error {
 public:
  explicit EConnectError(const std::string& message) : std::runtime_error(message) {}
};

// An asynchronous open abandoned by closing the connection before it ended.
class EOpenCancelled : public EConnectError {
 public:
  EOpenCancelled() : EConnectError("Connecting cancelled") {}
};

// Never raised itself; the common parent of transport-level failures.
class EComError : public EConnectError {
 public:
  using EConnectError::EConnectError;
};

// ErrorCode is the EMI error code of a negative acknowledgement, or -1 for a
// failure the client found itself.
class EEMIError : public EComError {
 public:
  EEMIError(int errorCode, const std::string& message) : EComError(message), ErrorCode(errorCode) {}
  int ErrorCode;
};

}  // namespace qorvel
