#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "helperctl/ctl_error.hpp"
#include "helperctl/install_status.hpp"
#include "shared/helper_op_result.hpp"

namespace vantreel {

// What a command leaves: the one result object written to standard output, and for a connect
// the exit status and the message for standard error.
class CtlResults {
 public:
  CtlResults() = delete;

  // How a connect ends once the daemon has answered its start.
  struct ConnectEnd {
    int status = 0;
    std::optional<std::string> message;  // for standard error

    friend bool operator==(const ConnectEnd&, const ConnectEnd&) = default;
  };

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
};

}  // namespace vantreel
