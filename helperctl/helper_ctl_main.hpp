#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "helperctl/ctl_error.hpp"
#include "helperctl/install_status.hpp"
#include "shared/helper_op_result.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {

class HelperCtlClient;

// The control tool's command line: one command per run, one result object on standard output,
// messages on standard error, and the exit status main() returns. "connect" stays until the
// tunnel ends, relaying OpenConnect's lines; one more line on standard input, or its end, stops
// the tunnel.
class HelperCtlMain {
 public:
  // The descriptors the tool reads and writes; they stay the caller's.
  struct Streams {
    int input = 0;
    int output = 1;
    int error = 2;
  };

  // How a connect ends once the daemon has answered its start.
  struct ConnectEnd {
    int status = 0;
    std::optional<std::string> message;  // for standard error

    friend bool operator==(const ConnectEnd&, const ConnectEnd&) = default;
  };

  static constexpr std::string_view usageText =
      "usage: vantreel-helperctl version|status|install|uninstall|connect|disconnect [--json]";
  // Names the thread that watches standard input during a connect.
  static constexpr std::string_view stdinQueueLabel = "org.vantreel.desktop.helperctl.stdin";

  static constexpr int usageStatus = 64;
  static constexpr std::int64_t argumentErrorCode = 64;
  static constexpr std::int64_t passwordErrorCode = 65;
  static constexpr std::string_view missingArgumentsDescription =
      "connect requires --server and --user";
  static constexpr std::string_view missingPasswordDescription = "password missing on stdin";
  // On standard error when a line of input stops a start whose tunnel is not up yet.
  static constexpr std::string_view anotherLineDescription =
      "standard input sent another line: disconnecting";

  // arguments: the process arguments after the program name.
  explicit HelperCtlMain(std::vector<std::string> arguments);
  HelperCtlMain(std::vector<std::string> arguments, Streams streams);

  // Runs the one command and returns the process's exit status.
  [[nodiscard]] int main();

  // The first argument that does not begin with "-"; "status" when there is none.
  [[nodiscard]] static std::string commandWord(const std::vector<std::string>& arguments);
  // The argument right after the first occurrence of option, taken as it is.
  [[nodiscard]] static std::optional<std::string> value(std::string_view option,
                                                        const std::vector<std::string>& arguments);

  // The start request of a connect, from its arguments, validated as the daemon will.
  [[nodiscard]] static tl::expected<HelperStartRequest, CtlError> connectRequest(
      const std::vector<std::string>& arguments);
  [[nodiscard]] static ConnectEnd connectEnd(const HelperOpResult& reply);

  [[nodiscard]] static nlohmann::json versionPayload();
  [[nodiscard]] static nlohmann::json statusObject(const InstallStatus& installation,
                                                   const std::optional<std::string>& version);
  // The status report after an installation, with the installation's method and detail, and
  // its state where the report found no daemon.
  [[nodiscard]] static nlohmann::json installObject(nlohmann::json report,
                                                    const InstallStatus& installation);
  // 1 when no daemon answered after the installation (its outcome is then "not_installed"):
  // an installation that leaves nothing answering has failed, whatever its script reported.
  [[nodiscard]] static int installExitStatus(const InstallStatus& outcome);
  [[nodiscard]] static nlohmann::json uninstallObject(const InstallStatus& removal);
  [[nodiscard]] static nlohmann::json disconnectObject(const HelperOpResult& reply);
  // The tunnel as the daemon reports it: "ok", "state", "pid", "detail", "version".
  [[nodiscard]] static nlohmann::json tunnelObject(const HelperOpResult& reply);
  [[nodiscard]] static nlohmann::json failureObject(const CtlError& error);
  // The line written for a result (without its line feed): compact JSON, or the "state" value
  // alone when JSON is not selected or cannot be produced (text that is not UTF-8).
  [[nodiscard]] static std::string render(const nlohmann::json& object, bool json);

 private:
  [[nodiscard]] tl::expected<int, CtlError> run(const std::string& command);
  [[nodiscard]] nlohmann::json statusPayload();
  [[nodiscard]] tl::expected<int, CtlError> install();
  [[nodiscard]] tl::expected<int, CtlError> uninstall();
  [[nodiscard]] tl::expected<int, CtlError> connect();
  [[nodiscard]] tl::expected<int, CtlError> signInAndConnect();
  // Makes the start through a fresh client and stays until it is answered, stopping the tunnel
  // on the next line of input or its end.
  using Starter = std::function<tl::expected<HelperOpResult, CtlError>(
      HelperCtlClient& client, const std::function<void()>& onSent)>;
  template <class Input>
  [[nodiscard]] tl::expected<int, CtlError> relay(Input& input, const Starter& start);
  [[nodiscard]] tl::expected<int, CtlError> disconnect();
  [[nodiscard]] tl::expected<int, CtlError> tunnel();

  void write(const nlohmann::json& object) const;
  void message(std::string_view text) const;

  std::vector<std::string> arguments_;
  Streams streams_;
  bool json_ = true;
};

}  // namespace vantreel
