#include "transport/client_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "connect/errors.h"
#include "transport/socket_error.h"

namespace qorvel {

namespace {

in_addr_t LookUpHost(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  in_addr_t result = htonl(INADDR_ANY);
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found) {
    result = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  }
  if (found) freeaddrinfo(found);
  return result;
}

std::uint16_t LookUpService(const std::string& service) {
  servent entry{};
  servent* found = nullptr;
  std::vector<char> buffer(4096);
  if (getservbyname_r(service.c_str(), "tcp", &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found) {
    return ntohs(static_cast<std::uint16_t>(found->s_port));
  }
  return 0;
}

}  // namespace

TClientSocket::~TClientSocket() {
  Close();
}

void TClientSocket::Open(const TSocketPeer& aPeer) {
  if (Connected()) throw EConnectError("Socket already open");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw EConnectError("Can't create new socket");

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (!aPeer.Host.empty()) {
    peer.sin_addr.s_addr = LookUpHost(aPeer.Host);
  } else if (!aPeer.Address.empty()) {
    peer.sin_addr.s_addr = inet_addr(aPeer.Address.c_str());
  } else {
    ::close(fd);
    throw EConnectError("No address specified");
  }
  const std::uint16_t port =
      aPeer.Service.empty() ? static_cast<std::uint16_t>(aPeer.Port) : LookUpService(aPeer.Service);
  peer.sin_port = htons(port);

  // An unknown host comes out as 0.0.0.0, which Linux would quietly take for
  // this machine; refuse it as a connect to an unusable address instead.
  int rc;
  int error = 0;
  if (peer.sin_addr.s_addr == htonl(INADDR_ANY)) {
    rc = -1;
    error = EADDRNOTAVAIL;
  } else {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    // An interrupted connect goes on in the background; wait for its result.
    if (rc < 0 && errno == EINTR) {
      pollfd waiting{fd, POLLOUT, 0};
      int r;
      do r = ::poll(&waiting, 1, -1);
      while (r < 0 && errno == EINTR);
      socklen_t len = sizeof error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
      rc = error == 0 ? 0 : -1;
    } else if (rc < 0) {
      error = errno;
    }
  }
  if (rc < 0) {
    ::close(fd);
    throw ESocketError(error, "connect");
  }
  TLockGuard guard(lock_);
  fd_ = fd;
}

bool TClientSocket::Connected() const {
  TLockGuard guard(lock_);
  return fd_ >= 0;
}

int TClientSocket::ReceiveLength() const {
  TLockGuard guard(lock_);
  if (fd_ < 0) return 0;
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) < 0) return 0;
  return count;
}

int TClientSocket::SendBuf(const void* aBuffer, int aCount) {
  TLockGuard guard(lock_);
  if (fd_ < 0 || aCount <= 0) return 0;
  ssize_t n;
  do n = ::send(fd_, aBuffer, static_cast<std::size_t>(aCount), MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK) return 0;
  CloseLocked();
  throw ESocketError(error, "send");
}

int TClientSocket::ReceiveBuf(void* aBuffer, int aCount) {
  TLockGuard guard(lock_);
  if (fd_ < 0 || aCount <= 0) return 0;
  ssize_t n;
  do n = ::recv(fd_, aBuffer, static_cast<std::size_t>(aCount), MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK) return 0;
  CloseLocked();
  throw ESocketError(error, "recv");
}

void TClientSocket::Purge() {
  TLockGuard guard(lock_);
  char buffer[4096];
  while (fd_ >= 0) {
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
}

void TClientSocket::Close() {
  TLockGuard guard(lock_);
  CloseLocked();
}

int TClientSocket::DuplicateForPolling() const {
  TLockGuard guard(lock_);
  return fd_ < 0 ? -1 : ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
}

void TClientSocket::CloseLocked() {
  if (fd_ < 0) return;
  // Shutting down first ends the connection even while a polling duplicate
  // still refers to it.
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace qorvel
