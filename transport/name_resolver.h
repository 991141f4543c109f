#pragma once
// Turns host and service names into an IPv4 address and a TCP port. The
// transport asks only through this interface, so that tests can answer
// without a name service and never send a query off the machine.
//
// Implementations are called on the thread that opens the transport.
#include <cstdint>
#include <optional>
#include <string>

namespace qorvel {

class TNameResolver {
 public:
  virtual ~TNameResolver() = default;
  // The first IPv4 address of aHost in network byte order; without one,
  // nullopt and aError set to the look-up's reason.
  virtual std::optional<std::uint32_t> LookUpHost(const std::string& aHost,
                                                  std::string& aError) = 0;
  // The port registered for aService with protocol "tcp"; nullopt when the
  // name is unknown.
  virtual std::optional<std::uint16_t> LookUpService(const std::string& aService) = 0;
};

// The platform's look-up (hosts file, name service, services file). It lives
// as long as the program; any thread may use it.
TNameResolver& SystemNameResolver();

}  // namespace qorvel
