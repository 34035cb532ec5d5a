#include <netdb.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/host_info.hpp"

namespace vantreel::platform::posix {

std::string machineHardwareName() {
  struct utsname name {};
  if (::uname(&name) != 0) {
    return {};
  }
  return name.machine;
}

std::vector<std::string> ipv4Addresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return {};
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, &::freeaddrinfo);
  std::vector<std::string> addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addr == nullptr) {
      continue;
    }
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
      continue;
    }
    addresses.emplace_back(text);
  }
  return addresses;
}

}  // namespace vantreel::platform::posix
