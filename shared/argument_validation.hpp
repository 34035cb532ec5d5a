#pragma once

#include <cstddef>
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

// A start for a session the user signed in to unprivileged: what that sign-in printed.
struct ValidatedCookieStart {
  std::string server;                  // host[:port][path] of the connect URL, no scheme
  std::string servercert;              // the fingerprint the sign-in accepted
  std::optional<std::string> resolve;  // host:address, the host being the URL's
};

[[nodiscard]] tl::expected<ValidatedCookieStart, Failure> validateCookieStart(
    std::string_view connectURL, std::string_view servercert,
    std::optional<std::string_view> resolve);

// 1 to maxCookieBytes bytes of printable ASCII: a session cookie has no use for anything else,
// and a line feed or control byte would let one answer become two on OpenConnect's input.
inline constexpr std::size_t maxCookieBytes = 4096;
[[nodiscard]] bool isAcceptableCookie(std::string_view cookie);
inline constexpr std::string_view cookieInvalid =
    "cookie must be one line of 1\u20134096 printable ASCII characters";

// OpenConnect's arguments without the program path. Only for a Validated that validate made.
// With a pin the server must present exactly that key: the CA file is left out and system
// trust turned off. Without one, the CA file (when given) is the trust store.
[[nodiscard]] std::vector<std::string> openConnectArgs(const Validated& validated,
                                                       std::string_view script,
                                                       std::optional<std::string_view> cafile);

// The cookie start's arguments: the session is pinned to the fingerprint the sign-in accepted,
// and, as for a pinned password start, nothing else is trusted.
[[nodiscard]] std::vector<std::string> cookieOpenConnectArgs(const ValidatedCookieStart& validated,
                                                             std::string_view script);

}  // namespace vantreel::ArgumentValidation
