#include <sys/un.h>

#include <cstdlib>

#include "platform/xpc/service_path.hpp"

namespace vantreel::platform::xpc {

std::optional<std::string> servicePath(std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  const char* dir = std::getenv("VANTREEL_SERVICE_DIR");  // NOLINT(concurrency-mt-unsafe)
  std::string path = (dir != nullptr && *dir != '\0') ? dir : "/var/run";
  path += '/';
  path += name;
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    return std::nullopt;
  }
  return path;
}

}  // namespace vantreel::platform::xpc
