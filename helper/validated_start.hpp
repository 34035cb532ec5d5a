#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <variant>
#include <vector>

#include "helper/runner_error.hpp"
#include "shared/argument_validation.hpp"
#include "shared/helper_cookie_start_request.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {

// What a start carries beside its secret, which is a password for the one and a session cookie
// for the other; both go through the same steps.
using StartRequest = std::variant<HelperStartRequest, HelperCookieStartRequest>;

// How OpenConnect is run for one start: the program, its whole argument list and its whole
// environment. The daemon launches exactly this, and the test harness asks for it (through a
// small program) instead of keeping a copy that could drift.
struct OpenConnectInvocation {
  std::string program;
  std::vector<std::string> arguments;  // without the program
  std::map<std::string, std::string> environment;
};

// A start request that passed argument validation, the one gate to what runs as root.
class ValidatedStart {
 public:
  [[nodiscard]] static tl::expected<ValidatedStart, RunnerError> from(const StartRequest& request);

  // host[:port][path] of the server the request named.
  [[nodiscard]] const std::string& server() const;
  // The secret on standard input is a session cookie, not a password.
  [[nodiscard]] bool takesCookie() const;
  // OpenConnect is given a trust store: the start is not pinned to a fingerprint.
  [[nodiscard]] bool usesTrustStore() const;
  // OpenConnect run from directory (which holds "openconnect", "vpnc-script" and "lib"), with
  // cafile as its trust store where the start is not pinned to a fingerprint.
  [[nodiscard]] OpenConnectInvocation invocation(const std::string& directory,
                                                 std::optional<std::string_view> cafile) const;

 private:
  using Arguments =
      std::variant<ArgumentValidation::Validated, ArgumentValidation::ValidatedCookieStart>;
  explicit ValidatedStart(Arguments arguments) : arguments_(std::move(arguments)) {}

  Arguments arguments_;
};

}  // namespace vantreel
