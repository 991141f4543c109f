#pragma once
// A name look-up that knows only the names a test gives it, so that no test
// asks a name service anything.
#include <arpa/inet.h>

#include <map>
#include <string>
#include <vector>

#include "transport/name_resolver.h"

namespace qorvel::testing {

class TFakeResolver : public TNameResolver {
 public:
  std::map<std::string, std::string> Hosts;  // name -> dotted address
  std::map<std::string, std::uint16_t> Services;
  std::vector<std::string> Asked;

  std::optional<std::uint32_t> LookUpHost(const std::string& aHost, std::string& aError) override {
    Asked.push_back(aHost);
    const auto found = Hosts.find(aHost);
    if (found == Hosts.end()) {
      aError = "Name or service not known";
      return std::nullopt;
    }
    return ::inet_addr(found->second.c_str());
  }
  std::optional<std::uint16_t> LookUpService(const std::string& aService) override {
    Asked.push_back(aService);
    const auto found = Services.find(aService);
    if (found == Services.end()) return std::nullopt;
    return found->second;
  }
};

}  // namespace qorvel::testing
