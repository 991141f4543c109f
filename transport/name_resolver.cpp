#include "transport/name_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "transport/socket_error.h"

namespace qorvel {

namespace {

class TSystemNameResolver : public TNameResolver {
 public:
  std::optional<std::uint32_t> LookUpHost(const std::string& aHost, std::string& aError) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(aHost.c_str(), nullptr, &hints, &found);
    std::optional<std::uint32_t> result;
    if (rc == 0 && found != nullptr) {
      result = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    } else {
      aError = rc == EAI_SYSTEM ? SystemErrorText(errno) : ::gai_strerror(rc);
    }
    if (found != nullptr) ::freeaddrinfo(found);
    return result;
  }

  std::optional<std::uint16_t> LookUpService(const std::string& aService) override {
    servent entry{};
    servent* found = nullptr;
    std::vector<char> buffer(4096);
    if (::getservbyname_r(aService.c_str(), "tcp", &entry, buffer.data(), buffer.size(), &found) ==
            0 &&
        found != nullptr) {
      return ntohs(static_cast<std::uint16_t>(found->s_port));
    }
    return std::nullopt;
  }
};

}  // namespace

TNameResolver& SystemNameResolver() {
  static TSystemNameResolver resolver;
  return resolver;
}

}  // namespace qorvel
