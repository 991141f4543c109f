#include "tools/smsc/smsc_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace qorvel {

namespace {

[[noreturn]] void RaiseErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TFileDescriptor& TFileDescriptor::operator=(TFileDescriptor&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int TFileDescriptor::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void TFileDescriptor::Reset(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

TFileDescriptor ListenTcp(const std::string& aAddress, uint16_t aPort) {
  TFileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) RaiseErrno("socket");
  int on = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(aPort);
  if (::inet_pton(AF_INET, aAddress.c_str(), &addr.sin_addr) != 1) {
    throw std::system_error(EINVAL, std::generic_category(), "bad listening address " + aAddress);
  }
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) RaiseErrno("bind");
  if (::listen(fd.Get(), 8) != 0) RaiseErrno("listen");
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) RaiseErrno("getsockname");
  return ntohs(addr.sin_port);
}

TFileDescriptor AcceptConnection(int listenFd) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return TFileDescriptor(fd);
    if (errno != EINTR) return TFileDescriptor();
  }
}

TWriteResult WriteSome(int fd, std::string& aBytes) {
  std::size_t written = 0;
  TWriteResult result = TWriteResult::Done;
  while (written < aBytes.size()) {
    ssize_t n =
        ::send(fd, aBytes.data() + written, aBytes.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    result =
        (errno == EAGAIN || errno == EWOULDBLOCK) ? TWriteResult::WouldBlock : TWriteResult::Failed;
    break;
  }
  aBytes.erase(0, written);
  return result;
}

TReadResult ReadSome(int fd, std::string& aOut, std::size_t aMax) {
  std::string chunk(aMax, '\0');
  for (;;) {
    ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (n > 0) {
      aOut.append(chunk.data(), static_cast<std::size_t>(n));
      return TReadResult::Data;
    }
    if (n == 0) return TReadResult::Closed;
    // A spurious wake-up on a non-blocking socket: nothing read, nothing wrong.
    if (errno == EAGAIN || errno == EWOULDBLOCK) return TReadResult::Data;
    if (errno != EINTR) return TReadResult::Failed;
  }
}

TWakePipe::TWakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) RaiseErrno("pipe2");
  read_.Reset(fds[0]);
  write_.Reset(fds[1]);
}

void TWakePipe::Notify() {
  char byte = 1;
  // A full pipe already wakes the reader, so a failed write loses nothing.
  while (::write(write_.Get(), &byte, 1) < 0 && errno == EINTR) {
  }
}

void TWakePipe::Drain() {
  char buffer[64];
  for (;;) {
    ssize_t n = ::read(read_.Get(), buffer, sizeof buffer);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace qorvel
