#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "helperctl/ctl_error.hpp"
#include "helperctl/install_environment.hpp"
#include "helperctl/install_status.hpp"
#include "platform/service/service_names.hpp"

namespace vantreel {

// Installs the helper daemon as a system job, removes it, and turns the answer of a version
// probe into an installation state. The running system's layout decides the paths and tools;
// every file and job step runs as one script under the administrator prompt.
class HelperInstall {
 public:
  HelperInstall() = delete;

  // The product's job names, from Constants.
  [[nodiscard]] static const platform::service::ServiceNames& serviceNames();

  // The running system's installed paths and legacy clean-up, each built once.
  [[nodiscard]] static const std::string& installedHelperPath();
  [[nodiscard]] static const std::string& installedPlistPath();
  [[nodiscard]] static const std::string& legacyPlistPath();
  [[nodiscard]] static const std::string& removeLegacyJob();

  // The app bundle holding the running control tool, searched from the first process argument
  // (or the given one): the path itself and its 7 nearest parents, symbolic links resolved.
  [[nodiscard]] static std::optional<std::string> hostAppBundle();
  [[nodiscard]] static std::optional<std::string> hostAppBundle(
      const std::optional<std::string>& firstArgument);
  // The main bundle when it is an app bundle, else hostAppBundle.
  [[nodiscard]] static std::optional<std::string> helperCtlAppBundle();
  [[nodiscard]] static std::optional<std::string> helperCtlAppBundle(
      const std::optional<std::string>& mainBundle,
      const std::optional<std::string>& firstArgument);
  // The executable daemon inside the tool's app bundle.
  [[nodiscard]] static std::optional<std::string> helperBinaryURL();
  [[nodiscard]] static std::optional<std::string> helperBinaryURL(const InstallEnvironment& env);

  [[nodiscard]] static InstallStatus currentState(bool machUp,
                                                  const std::optional<std::string>& runningVersion);

  // replace is accepted for the command line's sake: every installation replaces in full.
  [[nodiscard]] static tl::expected<InstallStatus, CtlError> install(bool replace);
  [[nodiscard]] static tl::expected<InstallStatus, CtlError> install(bool replace,
                                                                     const InstallEnvironment& env);
  // How long the command line waits for a daemon it has just installed to answer, and how
  // often it asks meanwhile.
  static constexpr std::chrono::milliseconds answerBound{10000};
  static constexpr std::chrono::milliseconds answerPause{100};
  // The installation's result once probe (the daemon's version, or nothing while it does not
  // answer) has answered, asked every pause; one that has not answered within bound leaves no
  // helper installed as far as a caller can tell: "not_installed", with the reason in detail.
  [[nodiscard]] static InstallStatus awaitDaemon(
      const InstallStatus& installed, const std::function<std::optional<std::string>()>& probe,
      std::chrono::milliseconds bound = answerBound, std::chrono::milliseconds pause = answerPause);

  [[nodiscard]] static tl::expected<InstallStatus, CtlError> uninstall();
  [[nodiscard]] static tl::expected<InstallStatus, CtlError> uninstall(
      const InstallEnvironment& env);

 private:
  [[nodiscard]] static tl::expected<void, CtlError> installViaLaunchd(
      const InstallEnvironment& env);
  // The service and socket units staged in a directory of this installation's own, installed
  // from there, and removed again.
  [[nodiscard]] static tl::expected<void, CtlError> installStagedPrivately(
      const InstallEnvironment& env, const std::string& source);
  static void unregisterLegacySMAppService(const InstallEnvironment& env);
  [[nodiscard]] static tl::expected<void, CtlError> runAdmin(const std::string& script,
                                                             const InstallEnvironment& env);
};

}  // namespace vantreel
