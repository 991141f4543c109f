#include "transport/client_socket_connection.h"

#include "connect/errors.h"
#include "transport/name_resolver.h"

namespace qorvel {

TClientSocketConnection::TClientSocketConnection(TComponent* aOwner)
    : TCommunicationConnection(aOwner) {}

TClientSocketConnection::~TClientSocketConnection() {
  CloseForDestruction();
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

void TClientSocketConnection::DoOpen() {
  socket_ = std::make_unique<TClientSocket>();
  socket_->SetSendTimeout(sendTimeout_);
  socket_->Open(peer_, resolver_ ? *resolver_ : SystemNameResolver(), connectTimeout_);
  if (!socket_->Connected()) throw EConnectError("Cannot open socket");
  thread_ = std::make_unique<TClientSocketThread>(*this, *socket_);
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
