#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "helperctl/buffered_input.hpp"
#include "helperctl/ctl_error.hpp"
#include "helperctl/ctl_streams.hpp"
#include "shared/helper_op_result.hpp"

namespace vantreel {

class HelperCtlClient;
class StartSent;

// "connect": a start with the password from the first line of standard input, or with the
// session of the user's own sign-in (--sign-in). Either way the tool then stays until the
// daemon answers the start, relaying OpenConnect's lines; one more line on standard input, or
// its end, stops the tunnel.
class CtlConnect {
 public:
  // Names the thread that watches standard input during a connect.
  static constexpr std::string_view stdinQueueLabel = "org.vantreel.desktop.helperctl.stdin";
  static constexpr std::int64_t passwordErrorCode = 65;
  static constexpr std::string_view missingPasswordDescription = "password missing on stdin";
  // On standard error when a line of input stops a start whose tunnel is not up yet.
  static constexpr std::string_view anotherLineDescription =
      "standard input sent another line: disconnecting";

  CtlConnect(const std::vector<std::string>& arguments, CtlStreams streams);

  [[nodiscard]] tl::expected<int, CtlError> run();

 private:
  // Sends the start with the secret through client; onSent as HelperCtlClient's.
  using Starter = std::function<tl::expected<HelperOpResult, CtlError>(
      HelperCtlClient& client, std::string_view secret, const std::function<void()>& onSent)>;

  [[nodiscard]] tl::expected<int, CtlError> withPassword();
  [[nodiscard]] tl::expected<int, CtlError> withSignIn();
  // The one way both starts go once their secret is known: the start through a fresh client,
  // the secret wiped as soon as it is sent, the watch on standard input, and the exit status.
  [[nodiscard]] tl::expected<int, CtlError> relay(std::string& secret, const Starter& start);
  // The watcher's part: stops the tunnel on one more line of input or its end.
  static void watch(BufferedInput& input, StartSent& sent, HelperCtlClient& client, int errorFd,
                    const std::stop_token& stop);

  const std::vector<std::string>& arguments_;
  CtlStreams streams_;
  BufferedInput input_;
};

}  // namespace vantreel
