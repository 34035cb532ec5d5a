#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantreel::platform::xpc {

// The socket file of a service: <service dir>/<name>, where the directory is /var/run unless
// VANTREEL_SERVICE_DIR names another. nullopt for a name that is not one path component or
// a path too long for a socket address.
[[nodiscard]] std::optional<std::string> servicePath(std::string_view name);

}  // namespace vantreel::platform::xpc
