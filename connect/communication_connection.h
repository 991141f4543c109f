#pragma once
// A logging connection that carries a byte stream: the contract through which
// the EMI engine sends and receives without knowing the carrier.
//
// Threads: WriteBuffer runs on the main thread and, while the engine is open,
// on the transport's reader thread inside the receive notification; there is
// never more than one write at a time. OnRxChar and RxCharInThread may be
// changed on the main thread while the transport runs; the transport reads
// both afresh for every notification.
#include <atomic>
#include <exception>
#include <functional>
#include <string>

#include "connect/locked_event.h"
#include "connect/log_connection.h"

namespace qorvel {

// Count: the number of received bytes waiting to be read.
using TCommRxCharEvent = std::function<void(TComponent* Sender, int Count)>;

class TCommunicationConnection : public TLogConnection {
 public:
  explicit TCommunicationConnection(TComponent* aOwner = nullptr);

  // Opens without holding the main thread: aDone runs later on the main
  // thread, never from inside this call, with nullptr once the connection is
  // open (after the after-open event) or with the failure (after the close
  // step has cleaned up). Exceptions of the before-open event reach the
  // caller. Close() before aDone has run abandons the open, and aDone does
  // not run. This default opens at once and reports on the next turn, so it
  // holds the caller for as long as Open() does. Main thread.
  using TOpenDone = std::function<void(std::exception_ptr aFailure)>;
  virtual void StartOpen(TOpenDone aDone);

  // Bytes waiting to be read, or -1 while the connection is not active.
  virtual int InputCount() = 0;
  // Reads and discards every byte that is waiting.
  virtual void PurgeInput() = 0;
  // Called once at open and before every attempt to send an operation.
  virtual void PrepareTransmit() = 0;
  // Returns the number of bytes written.
  virtual int WriteBuffer(const void* Buffer, int Count) = 0;
  // Reads at most Count waiting bytes; returns the number read.
  virtual int ReadBuffer(void* Buffer, int Count) = 0;

  // Writes all of aText; returns what WriteBuffer returned.
  int WriteString(const std::string& aText);
  // Reads at most aCount bytes; the result holds exactly the bytes read.
  std::string ReadString(int aCount);

  // Raised with the number of waiting bytes, as long as bytes are waiting.
  TLockedEvent<void(TComponent* Sender, int Count)> OnRxChar;
  // true: notify on the transport's own reader thread; false: on the main
  // thread.
  std::atomic<bool> RxCharInThread{false};

  // Raised once per open on the transport's reader thread when it notices
  // that the link has gone (the peer ended it, a receive failed), so that
  // what waits on the link can end at once.
  TLockedEvent<void(TComponent* Sender)> OnLinkLost;
  // Whether the link of an open transport is known to be gone. Any thread.
  virtual bool LinkLost() const { return false; }

 protected:
  // The only way a transport raises OnRxChar.
  virtual void DoRxChar(int Count);
  void DoLinkLost();
};

}  // namespace qorvel
