#pragma once
// A blocking TCP client socket that owns its descriptor.
//
// Open runs on the opening thread before any other thread knows the socket.
// After that every send, receive, byte-count query, purge and close takes the
// socket's lock, so no two of them overlap on the descriptor.
#include <cstdint>
#include <string>

#include "connect/thread_annotations.h"

namespace qorvel {

struct TSocketPeer {
  std::string Host;
  std::string Address;
  std::int32_t Port = 0;
  std::string Service;
};

class TClientSocket {
 public:
  TClientSocket() = default;
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // Connects, blocking the caller. Host wins over Address, Service over
  // Port. Throws EConnectError ("Socket already open", "Can't create new
  // socket", "No address specified") or ESocketError naming "connect".
  void Open(const TSocketPeer& aPeer) EXCLUDES(lock_);

  bool Connected() const EXCLUDES(lock_);
  // Bytes readable now without blocking; 0 when not connected.
  int ReceiveLength() const EXCLUDES(lock_);
  // One send; 0 when not connected or when it would block. A failure closes
  // the descriptor, then throws ESocketError naming "send".
  int SendBuf(const void* aBuffer, int aCount) EXCLUDES(lock_);
  // One receive of what is waiting, never blocking; 0 when not connected or
  // nothing waits. A failure closes the descriptor, then throws naming "recv".
  int ReceiveBuf(void* aBuffer, int aCount) EXCLUDES(lock_);
  // Discards every waiting byte, holding the lock for the whole drain.
  void Purge() EXCLUDES(lock_);
  // Shuts the connection down and closes the descriptor.
  void Close() EXCLUDES(lock_);

  // A second descriptor for the same connection, for waiting on readiness
  // without the lock; -1 when not connected. The caller owns it.
  int DuplicateForPolling() const EXCLUDES(lock_);

 private:
  void CloseLocked() REQUIRES(lock_);

  mutable TMutex lock_;
  int fd_ GUARDED_BY(lock_) = -1;
};

}  // namespace qorvel
