#pragma once
// The TCP client transport: a blocking socket to the SMSC and a reader thread
// that reports received bytes through OnRxChar.
//
// Open, close, destruction and the address setters belong to the main thread.
// StartOpen connects on a thread of its own (see TSocketConnector), so the
// main thread waits neither for the peer nor for ConnectTimeout.
// WriteBuffer may also run on the reader thread inside a notification.
// Destroying an open transport stops and joins its reader thread. A
// notification must not close or destroy its own transport.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "connect/communication_connection.h"
#include "transport/client_socket.h"
#include "transport/client_socket_thread.h"

namespace qorvel {

class TNameResolver;
class TSocketConnector;

class TClientSocketConnection : public TCommunicationConnection {
 public:
  explicit TClientSocketConnection(TComponent* aOwner = nullptr);
  ~TClientSocketConnection() override;

  // Each setter throws "Connection is active" while open; a change takes
  // effect at the next open.
  const std::string& Address() const { return peer_.Address; }
  void SetAddress(std::string aAddress);
  const std::string& Host() const { return peer_.Host; }
  void SetHost(std::string aHost);
  std::int32_t Port() const { return peer_.Port; }
  void SetPort(std::int32_t aPort);
  const std::string& Service() const { return peer_.Service; }
  void SetService(std::string aService);

  // Where Host and Service are looked up; the platform's look-up when null.
  // Not owned: it must outlive every open. Throws while active.
  void SetNameResolver(TNameResolver* aResolver);
  // How long an open may wait for the peer to accept the connection, and a
  // write for the peer to take the rest of a frame. Throw while active.
  std::chrono::milliseconds ConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(std::chrono::milliseconds aTimeout);
  std::chrono::milliseconds SendTimeout() const { return sendTimeout_; }
  void SetSendTimeout(std::chrono::milliseconds aTimeout);

  // Connects in the background; see TCommunicationConnection::StartOpen.
  // Throws "Connection is active" while open or opening.
  void StartOpen(TOpenDone aDone) override;
  // Whether a StartOpen is under way.
  bool Opening() const { return connector_ != nullptr; }

  int InputCount() override;
  void PurgeInput() override;
  void PrepareTransmit() override {}
  // Writes the whole buffer and returns Count, or 0 while closed. Throws
  // ESocketError naming "send" at once when the socket is lost, and when the
  // bytes cannot be sent within SendTimeout(); the socket is lost then.
  int WriteBuffer(const void* Buffer, int Count) override;
  int ReadBuffer(void* Buffer, int Count) override;

  // Whether the socket still counts as connected: false while closed, after
  // a failed send or receive, and once the peer has ended the connection
  // (noticed by the reader thread within about one poll interval).
  bool SocketConnected() const;
  bool LinkLost() const override;
  // Closes the socket without closing the component, to force a reconnect.
  void CloseSocket();

 protected:
  void DoOpen() override;
  void DoClose() override;
  void DoCancelOpen() override;

 private:
  friend class TClientSocketThread;
  void NotifyRxChar(int aCount) { DoRxChar(aCount); }
  void NotifyLinkLost() { DoLinkLost(); }
  TNameResolver& Resolver() const;
  void Connected(std::exception_ptr aFailure, const TOpenDone& aDone);

  TSocketPeer peer_;
  TNameResolver* resolver_ = nullptr;
  std::chrono::milliseconds connectTimeout_{15000};
  std::chrono::milliseconds sendTimeout_{10000};
  std::unique_ptr<TClientSocket> socket_;
  std::unique_ptr<TClientSocketThread> thread_;
  // Set while StartOpen connects; it holds socket_ meanwhile.
  std::unique_ptr<TSocketConnector> connector_;
};

}  // namespace qorvel
