#pragma once
// A TCP listener on 127.0.0.1 with a port of the system's choosing, and the
// accepted peer, for driving a transport over a real connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "connect/unique_fd.h"
#include <string>

namespace qorvel::testing {

using TFd = TUniqueFd;

class TTestListener {
 public:
  TTestListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        ::listen(fd_.Get(), 4) < 0)
      throw std::runtime_error("listener");
    socklen_t len = sizeof a;
    ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  int Port() const { return port_; }
  void Close() { fd_.Reset(); }

  // Waits up to timeoutMs for a connection; an empty TFd when none came.
  TFd Accept(int timeoutMs = 5000) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return TFd();
    return TFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  TFd fd_;
  int port_ = 0;
};

inline void SendAll(const TFd& peer, const std::string& data) {
  if (::send(peer.Get(), data.data(), data.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(data.size()))
    throw std::runtime_error("peer send");
}

// Reads what arrives within timeoutMs, up to `want` bytes.
inline std::string ReceiveSome(const TFd& peer, std::size_t want, int timeoutMs = 5000) {
  std::string got;
  while (got.size() < want) {
    pollfd p{peer.Get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::recv(peer.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

}  // namespace qorvel::testing
