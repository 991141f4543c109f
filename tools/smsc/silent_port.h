#pragma once
// A port on 127.0.0.1 where connection requests go unanswered, as with a host
// that drops them: a listener whose backlog is full. For tests and
// benchmarks of connecting. Port() is 0 where the system answers connections
// beyond a full backlog.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <vector>

#include "connect/unique_fd.h"

namespace qorvel {

class TSilentPort {
 public:
  TSilentPort() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_.Get(), 0) != 0)
      return;
    socklen_t length = sizeof a;
    ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&a), &length);
    for (int i = 0; i < 16; ++i) {
      TUniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      ::connect(filler.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
      pollfd p{filler.Get(), POLLOUT, 0};
      const bool full = ::poll(&p, 1, 300) == 0;
      fillers_.push_back(std::move(filler));
      if (full) {
        port_ = ntohs(a.sin_port);
        return;
      }
    }
  }
  int Port() const { return port_; }

 private:
  TUniqueFd listener_;
  std::vector<TUniqueFd> fillers_;
  int port_ = 0;
};

}  // namespace qorvel
