#include "transport/client_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "connect/clock.h"
#include "connect/errors.h"
#include "connect/unique_fd.h"
#include "transport/name_resolver.h"
#include "transport/socket_error.h"

namespace qorvel {

namespace {

// The reason a connection counts as lost when the peer ended it in order: a
// send on it is what would fail, with a broken pipe.
constexpr int kPeerClosed = EPIPE;

// Waits until `fd` is ready for `events` or the deadline has passed; a
// signal does not cut the wait short. Returns false on time-out. A readable
// `cancelFd` (when not -1) ends the wait as well, returning true.
bool WaitReady(int fd, short events, const TDeadline& deadline, int cancelFd = -1) {
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
    const int r = ::poll(p, cancelFd >= 0 ? 2 : 1, deadline.Left());
    if (r > 0) return true;
    if (deadline.Passed()) return false;
    if (r < 0 && errno != EINTR) return true;  // the next call reports the error
  }
}

bool Readable(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// The connect result, as an errno value (0 for success).
int Connect(int fd, const sockaddr_in& peer, std::chrono::milliseconds timeout, int cancelFd) {
  const TDeadline deadline(SystemClock(), timeout.count());
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  if (!WaitReady(fd, POLLOUT, deadline, cancelFd)) return ETIMEDOUT;
  if (Readable(cancelFd)) return ECANCELED;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

TClientSocket::~TClientSocket() {
  Close();
}

void TClientSocket::Open(const TSocketPeer& aPeer, TNameResolver& aResolver,
                         std::chrono::milliseconds aConnectTimeout, int aCancelFd) {
  {
    TLockGuard guard(lock_);
    if (fd_ >= 0) throw EConnectError("Socket already open");
  }
  // Non-blocking, so that connect and send can be bounded in time; every
  // call below waits only as long as it means to.
  TUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.Get() < 0) throw EConnectError("Can't create new socket");

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (!aPeer.Host.empty()) {
    std::string reason;
    const std::optional<std::uint32_t> address = aResolver.LookUpHost(aPeer.Host, reason);
    if (!address) throw EConnectError("Cannot resolve host '" + aPeer.Host + "': " + reason);
    peer.sin_addr.s_addr = *address;
  } else if (!aPeer.Address.empty()) {
    peer.sin_addr.s_addr = ::inet_addr(aPeer.Address.c_str());
  } else {
    throw EConnectError("No address specified");
  }
  if (!aPeer.Service.empty()) {
    // An unknown service gives port 0, which no server listens on.
    peer.sin_port = htons(aResolver.LookUpService(aPeer.Service).value_or(0));
  } else if (aPeer.Port < 0 || aPeer.Port > 0xFFFF) {
    throw EConnectError("Port " + std::to_string(aPeer.Port) + " is outside 0 to 65535");
  } else {
    peer.sin_port = htons(static_cast<std::uint16_t>(aPeer.Port));
  }

  // Frames are small and acknowledged one by one; waiting to coalesce them
  // only adds the peer's delayed-acknowledgement time to every exchange.
  const int on = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

  if (const int error = Connect(fd.Get(), peer, aConnectTimeout, aCancelFd); error != 0) {
    throw ESocketError(error, "connect");
  }
  TLockGuard guard(lock_);
  fd_ = fd.Release();
  lostError_ = 0;
}

bool TClientSocket::Connected() const {
  TLockGuard guard(lock_);
  return ConnectedLocked();
}

int TClientSocket::ReceiveLength() const {
  TLockGuard guard(lock_);
  if (!ConnectedLocked()) return 0;
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) < 0) return 0;
  return count;
}

int TClientSocket::SendBuf(const void* aBuffer, int aCount) {
  TLockGuard sending(sendLock_);
  int fd;
  {
    TLockGuard guard(lock_);
    if (lostError_ != 0) throw ESocketError(lostError_, "send");
    if (fd_ < 0 || aCount <= 0) return 0;
    // The descriptor stays valid while the send lock is held: Close releases
    // it only after taking that lock.
    fd = fd_;
  }
  const TDeadline deadline(SystemClock(), sendTimeout_.count());
  const char* next = static_cast<const char*>(aBuffer);
  std::size_t left = static_cast<std::size_t>(aCount);
  int error = 0;
  while (left > 0) {
    const ssize_t n = ::send(fd, next, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      next += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      error = errno;
      break;
    }
    if (!WaitReady(fd, POLLOUT, deadline)) {
      error = ETIMEDOUT;
      break;
    }
  }
  if (error == 0) return aCount;
  // Part of a frame may be out: the stream cannot carry another one.
  TLockGuard guard(lock_);
  LoseLocked(error);
  throw ESocketError(lostError_, "send");
}

int TClientSocket::ReceiveBuf(void* aBuffer, int aCount) {
  TLockGuard guard(lock_);
  if (!ConnectedLocked() || aCount <= 0) return 0;
  ssize_t n;
  do n = ::recv(fd_, aBuffer, static_cast<std::size_t>(aCount), MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n > 0) {
    bytesReceived_ += static_cast<uint64_t>(n);
    return static_cast<int>(n);
  }
  if (n == 0) {
    LoseLocked(kPeerClosed);
    return 0;
  }
  const int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK) return 0;
  LoseLocked(error);
  throw ESocketError(error, "recv");
}

void TClientSocket::Purge() {
  TLockGuard guard(lock_);
  char buffer[4096];
  while (ConnectedLocked()) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) LoseLocked(kPeerClosed);
    if (n <= 0) break;
  }
}

bool TClientSocket::CheckPeer() {
  TLockGuard guard(lock_);
  if (!ConnectedLocked()) return true;
  char byte;
  ssize_t n;
  do n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n == 0) {
    LoseLocked(kPeerClosed);
  } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    LoseLocked(errno);
  }
  return !ConnectedLocked();
}

void TClientSocket::Close() {
  {
    TLockGuard guard(lock_);
    if (fd_ < 0) return;
    LoseLocked(ENOTCONN);
  }
  // A send still running was woken by the shutdown; wait for it to let go.
  TLockGuard sending(sendLock_);
  TLockGuard guard(lock_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int TClientSocket::DuplicateForPolling() const {
  TLockGuard guard(lock_);
  return ConnectedLocked() ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
}

void TClientSocket::LoseLocked(int aError) {
  if (lostError_ != 0 || fd_ < 0) return;
  lostError_ = aError;
  // Shutting down ends the connection for a send waiting on it and for the
  // reader's polling duplicate as well.
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace qorvel
