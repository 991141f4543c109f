#pragma once
// A TCP client socket that owns its descriptor.
//
// Open runs on the opening thread before any other thread knows the socket.
// After that, byte-count queries, receives, purges and the loss of the
// connection take the state lock only for a call that never blocks. Sends are
// serialised by a lock of their own and wait for room outside the state lock,
// so a peer that stops reading never holds up the reader. Close shuts the
// connection down first, which ends a waiting send at once, then waits for it
// before the descriptor is released.
//
// Lock order: send lock, then state lock.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "connect/thread_annotations.h"

namespace qorvel {

class TNameResolver;

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

  // Connects, blocking the caller for at most aConnectTimeout. Host wins over
  // Address, Service over Port; names are looked up through aResolver. Throws
  // EConnectError ("Socket already open", "Can't create new socket", "No
  // address specified", an unknown host, a port out of range) or ESocketError
  // naming "connect" (ETIMEDOUT when the time ran out, ECANCELED when
  // aCancelFd, a descriptor other than -1, became readable meanwhile: another
  // thread's way to end the wait at once).
  void Open(const TSocketPeer& aPeer, TNameResolver& aResolver,
            std::chrono::milliseconds aConnectTimeout, int aCancelFd = -1)
      EXCLUDES(sendLock_, lock_);

  // How long a send may wait for the peer to make room; set before Open.
  void SetSendTimeout(std::chrono::milliseconds aTimeout) { sendTimeout_ = aTimeout; }

  // Connected and not lost.
  bool Connected() const EXCLUDES(lock_);
  // Bytes readable now; 0 when not connected.
  int ReceiveLength() const EXCLUDES(lock_);
  // Sends all aCount bytes or none counts: returns aCount, or 0 on a socket
  // that was never opened. Throws ESocketError naming "send" when the socket
  // is lost, when sending fails, or when the peer has made no room for the
  // rest within the send time-out (ETIMEDOUT); the socket is lost afterwards.
  int SendBuf(const void* aBuffer, int aCount) EXCLUDES(sendLock_, lock_);
  // One receive of what is waiting, never blocking; 0 when not connected or
  // nothing waits. The end of the peer's stream loses the socket; a failure
  // loses it and throws naming "recv".
  int ReceiveBuf(void* aBuffer, int aCount) EXCLUDES(lock_);
  // Bytes received so far through ReceiveBuf; tells whether a receiver read anything.
  uint64_t BytesReceived() const { return bytesReceived_.load(); }
  // Discards every waiting byte, holding the state lock for the whole drain.
  void Purge() EXCLUDES(lock_);
  // Looks whether the peer has ended the connection (its end of stream or a
  // socket error) and if so loses the socket. Returns true when it is lost.
  bool CheckPeer() EXCLUDES(lock_);
  // Ends the connection and releases the descriptor; later sends fail.
  void Close() EXCLUDES(sendLock_, lock_);

  // A second descriptor for the same connection, for waiting on readiness
  // without the lock; -1 when not connected. The caller owns it.
  int DuplicateForPolling() const EXCLUDES(lock_);

 private:
  // Shuts the connection down and remembers why; the first reason stays.
  void LoseLocked(int aError) REQUIRES(lock_);
  bool ConnectedLocked() const REQUIRES(lock_) { return fd_ >= 0 && lostError_ == 0; }

  std::chrono::milliseconds sendTimeout_{10000};
  TMutex sendLock_ ACQUIRED_BEFORE(lock_);
  mutable TMutex lock_;
  int fd_ GUARDED_BY(lock_) = -1;
  // The error that ended the connection; 0 while it stands.
  int lostError_ GUARDED_BY(lock_) = 0;
  std::atomic<uint64_t> bytesReceived_{0};
};

}  // namespace qorvel
