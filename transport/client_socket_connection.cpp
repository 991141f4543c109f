#include "transport/client_socket_connection.h"

#include "connect/errors.h"
#include "transport/name_resolver.h"
#include "transport/socket_connector.h"

namespace qorvel {

TClientSocketConnection::TClientSocketConnection(TComponent* aOwner)
    : TCommunicationConnection(aOwner) {}

TClientSocketConnection::~TClientSocketConnection() {
  CloseForDestruction();
  connector_.reset();
}

void TClientSocketConnection::SetAddress(std::string aAddress) {
  CheckInactive();
  peer_.Address = std::move(aAddress);
}

void TClientSocketConnection::SetHost(std::string aHost) {
  CheckInactive();
  peer_.Host = std::move(aHost);
}

void TClientSocketConnection::SetPort(std::int32_t aPort) {
  CheckInactive();
  peer_.Port = aPort;
}

void TClientSocketConnection::SetService(std::string aService) {
  CheckInactive();
  peer_.Service = std::move(aService);
}

void TClientSocketConnection::SetNameResolver(TNameResolver* aResolver) {
  CheckInactive();
  resolver_ = aResolver;
}

void TClientSocketConnection::SetConnectTimeout(std::chrono::milliseconds aTimeout) {
  CheckInactive();
  connectTimeout_ = aTimeout;
}

void TClientSocketConnection::SetSendTimeout(std::chrono::milliseconds aTimeout) {
  CheckInactive();
  sendTimeout_ = aTimeout;
}

TNameResolver& TClientSocketConnection::Resolver() const {
  return resolver_ ? *resolver_ : SystemNameResolver();
}

void TClientSocketConnection::DoOpen() {
  if (connector_) throw EConnectError("Connection is active");
  socket_ = std::make_unique<TClientSocket>();
  socket_->SetSendTimeout(sendTimeout_);
  socket_->Open(peer_, Resolver(), connectTimeout_);
  if (!socket_->Connected()) throw EConnectError("Cannot open socket");
  thread_ = std::make_unique<TClientSocketThread>(*this, *socket_);
}

void TClientSocketConnection::StartOpen(TOpenDone aDone) {
  CheckInactive();
  if (connector_) throw EConnectError("Connection is active");
  DoBeforeOpen();
  socket_ = std::make_unique<TClientSocket>();
  socket_->SetSendTimeout(sendTimeout_);
  try {
    connector_ = std::make_unique<TSocketConnector>(
        *socket_, peer_, Resolver(), connectTimeout_,
        [this, aDone = std::move(aDone)](std::exception_ptr aFailure) {
          Connected(aFailure, aDone);
        });
  } catch (...) {
    socket_.reset();
    throw;
  }
}

void TClientSocketConnection::Connected(std::exception_ptr aFailure, const TOpenDone& aDone) {
  // The connector's thread has ended or is about to: it only hands over.
  const TOpenDone done = aDone;
  connector_.reset();
  if (!aFailure) {
    try {
      if (!socket_->Connected()) throw EConnectError("Cannot open socket");
      thread_ = std::make_unique<TClientSocketThread>(*this, *socket_);
      MarkOpened();
    } catch (...) {
      aFailure = std::current_exception();
    }
  }
  if (aFailure) {
    DoClose();
    done(aFailure);
    return;
  }
  try {
    DoAfterOpen();
  } catch (...) {
    done(std::current_exception());
    return;
  }
  done(nullptr);
}

void TClientSocketConnection::DoCancelOpen() {
  if (!connector_) return;
  connector_.reset();
  socket_.reset();
}

void TClientSocketConnection::DoClose() {
  thread_.reset();
  PurgeInput();
  socket_.reset();
}

int TClientSocketConnection::InputCount() {
  if (!Active() || !socket_) return -1;
  return socket_->ReceiveLength();
}

void TClientSocketConnection::PurgeInput() {
  if (Active() && socket_) socket_->Purge();
}

int TClientSocketConnection::WriteBuffer(const void* Buffer, int Count) {
  return socket_ ? socket_->SendBuf(Buffer, Count) : 0;
}

int TClientSocketConnection::ReadBuffer(void* Buffer, int Count) {
  return socket_ ? socket_->ReceiveBuf(Buffer, Count) : 0;
}

bool TClientSocketConnection::SocketConnected() const {
  return socket_ && socket_->Connected();
}

bool TClientSocketConnection::LinkLost() const {
  return socket_ && !socket_->Connected();
}

void TClientSocketConnection::CloseSocket() {
  if (socket_) socket_->Close();
}

}  // namespace qorvel
