#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

// The one gate between a caller's start arguments and the OpenConnect command line, which runs
// as root. Pure functions of their arguments; safe on any thread. Texts are UTF-8; input that is
// not valid UTF-8 is refused with the message of the field it came in.
namespace vantreel::ArgumentValidation {

struct Validated {
  std::string server;  // host[:port][path], no scheme
  std::string username;
  std::optional<std::string> servercert;  // never empty when present
};

struct Failure {
  std::string message;
};

[[nodiscard]] tl::expected<Validated, Failure> validate(std::string_view server,
                                                        std::string_view username,
                                                        std::optional<std::string_view> servercert);

// The server as host[:port][path], or nothing when it is not an https URL of an acceptable host.
[[nodiscard]] std::optional<std::string> normalizeServer(std::string_view server);

[[nodiscard]] bool containsShellMeta(std::string_view text);

// OpenConnect's arguments without the program path. Only for a Validated that validate made.
// With a pin the server must present exactly that key: the CA file is left out and system
// trust turned off. Without one, the CA file (when given) is the trust store.
[[nodiscard]] std::vector<std::string> openConnectArgs(const Validated& validated,
                                                       std::string_view script,
                                                       std::optional<std::string_view> cafile);

}  // namespace vantreel::ArgumentValidation
