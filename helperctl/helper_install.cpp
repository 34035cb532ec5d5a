#include "helperctl/helper_install.hpp"

#include <array>
#include <thread>

#include "platform/posix/check.hpp"
#include "platform/service/host.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

namespace service = platform::service;

// Code of the tool's error when the service manager that would run the daemon is not up.
constexpr std::int64_t serviceManagerDownCode = 69;

constexpr int bundleLooks = 8;

bool isValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr std::array<char32_t, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

tl::expected<void, CtlError> requireServiceManager(const InstallEnvironment& env,
                                                   std::string_view action) {
  if (env.layout.serviceManagerRunning()) {
    return {};
  }
  return tl::unexpected(CtlError::own(
      serviceManagerDownCode, env.layout.serviceManagerName() + " is not running; cannot " +
                                  std::string(action) + " " + std::string(Constants::helperLabel)));
}

}  // namespace

const service::ServiceNames& HelperInstall::serviceNames() {
  static const service::ServiceNames names{
      std::string(Constants::helperLabel), std::string(Constants::legacyLabel),
      std::string(Constants::machService), std::string(Constants::helperBinaryName),
      std::string(Constants::plistName),   std::string(Constants::legacyPlistName),
      std::string(Constants::appBundleID),
  };
  return names;
}

const std::string& HelperInstall::installedHelperPath() {
  static const std::string path = service::Layout::running().installedHelperPath(serviceNames());
  return path;
}

const std::string& HelperInstall::installedPlistPath() {
  static const std::string path = service::Layout::running().installedJobPath(serviceNames());
  return path;
}

const std::string& HelperInstall::legacyPlistPath() {
  static const std::string path = service::Layout::running().legacyJobPath(serviceNames());
  return path;
}

const std::string& HelperInstall::removeLegacyJob() {
  static const std::string text = service::Layout::running().removeLegacyJob(serviceNames());
  return text;
}

std::optional<std::string> HelperInstall::hostAppBundle() {
  return hostAppBundle(service::firstProcessArgument());
}

std::optional<std::string> HelperInstall::hostAppBundle(
    const std::optional<std::string>& firstArgument) {
  if (!firstArgument) {
    return std::nullopt;
  }
  std::string location = service::resolvingSymlinks(*firstArgument);
  for (int look = 0; look < bundleLooks; ++look) {
    if (service::pathExtension(location) == "app") {
      return location;
    }
    location = service::deletingLastPathComponent(location);
  }
  return std::nullopt;
}

std::optional<std::string> HelperInstall::helperCtlAppBundle() {
  return helperCtlAppBundle(service::mainBundleLocation(), service::firstProcessArgument());
}

std::optional<std::string> HelperInstall::helperCtlAppBundle(
    const std::optional<std::string>& mainBundle, const std::optional<std::string>& firstArgument) {
  if (mainBundle) {
    std::string resolved = service::resolvingSymlinks(*mainBundle);
    if (service::pathExtension(resolved) == "app") {
      return resolved;
    }
  }
  return hostAppBundle(firstArgument);
}

std::optional<std::string> HelperInstall::helperBinaryURL() {
  return helperBinaryURL(InstallEnvironment::system());
}

std::optional<std::string> HelperInstall::helperBinaryURL(const InstallEnvironment& env) {
  const std::array<std::optional<std::string>, 2> bundles = {
      helperCtlAppBundle(env.mainBundle, env.firstArgument), hostAppBundle(env.firstArgument)};
  for (const auto& bundle : bundles) {
    if (!bundle) {
      continue;
    }
    std::string candidate =
        *bundle + "/Contents/Library/LaunchDaemons/" + std::string(Constants::helperBinaryName);
    if (service::isExecutableFile(candidate)) {
      return candidate;
    }
  }
  return std::nullopt;
}

InstallStatus HelperInstall::currentState(bool machUp,
                                          const std::optional<std::string>& runningVersion) {
  if (!runningVersion) {
    return {"not_installed", InstallMethod::none, ""};
  }
  if (*runningVersion == Constants::helperVersion()) {
    if (machUp) {
      return {"ready", InstallMethod::launchd, ""};
    }
    return {"not_installed", InstallMethod::none, ""};
  }
  return {"version_mismatch", InstallMethod::launchd,
          "installed " + *runningVersion + ", bundled " + Constants::helperVersion()};
}

tl::expected<InstallStatus, CtlError> HelperInstall::install(bool replace) {
  return install(replace, InstallEnvironment::system());
}

tl::expected<InstallStatus, CtlError> HelperInstall::install(bool /*replace*/,
                                                             const InstallEnvironment& env) {
  unregisterLegacySMAppService(env);
  if (auto installed = installViaLaunchd(env); !installed) {
    return tl::unexpected(installed.error());
  }
  const std::string how = env.layout.adminPrompts(env.callerIsRoot) ? "admin prompt" : "as root";
  return InstallStatus{"ready", InstallMethod::launchd,
                       "registered via " + env.layout.serviceManagerName() + " (" + how + ")"};
}

InstallStatus HelperInstall::awaitDaemon(const InstallStatus& installed,
                                         const std::function<std::optional<std::string>()>& probe,
                                         std::chrono::milliseconds bound,
                                         std::chrono::milliseconds pause) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (probe()) {
      return installed;
    }
    if (std::chrono::steady_clock::now() + pause >= deadline) {
      break;
    }
    std::this_thread::sleep_for(pause);
  }
  const auto tenths = bound.count() / 100;
  const std::string seconds =
      std::to_string(tenths / 10) + (tenths % 10 == 0 ? "" : "." + std::to_string(tenths % 10));
  return InstallStatus{"not_installed", InstallMethod::none,
                       installed.detail + "; the daemon did not answer within " + seconds + " s"};
}

tl::expected<InstallStatus, CtlError> HelperInstall::uninstall() {
  return uninstall(InstallEnvironment::system());
}

tl::expected<InstallStatus, CtlError> HelperInstall::uninstall(const InstallEnvironment& env) {
  unregisterLegacySMAppService(env);
  const auto& names = serviceNames();
  const bool present = service::entryExists(env.layout.installedJobPath(names)) ||
                       (env.layout.kind() == service::Layout::Kind::linux &&
                        service::entryExists(env.layout.installedSocketPath(names))) ||
                       service::entryExists(env.layout.installedHelperPath(names)) ||
                       service::entryExists(env.layout.legacyJobPath(names));
  if (present) {
    if (auto up = requireServiceManager(env, "uninstall"); !up) {
      return tl::unexpected(up.error());
    }
    if (auto ran = runAdmin(env.layout.uninstallScript(names), env); !ran) {
      return tl::unexpected(ran.error());
    }
  }
  return InstallStatus{"not_installed", InstallMethod::none, "unregistered"};
}

tl::expected<void, CtlError> HelperInstall::installViaLaunchd(const InstallEnvironment& env) {
  if (auto up = requireServiceManager(env, "install"); !up) {
    return up;
  }
  const auto source = helperBinaryURL(env);
  if (!source) {
    return tl::unexpected(CtlError::own(3, "helper binary missing from the app bundle"));
  }
  const auto& names = serviceNames();
  if (env.layout.kind() == service::Layout::Kind::darwin) {
    // The user's own temporary directory: the job is staged there under its name, and the next
    // installation overwrites it.
    const std::string staged = env.temporaryDirectory + "/" + env.layout.jobFileName(names);
    if (auto written = service::writeFileAtomically(staged, env.layout.jobDocument(names));
        !written) {
      return tl::unexpected(CtlError::passedOn(written.error()));
    }
    return runAdmin(env.layout.installScript(names, *source, staged), env);
  }
  return installStagedPrivately(env, *source);
}

tl::expected<void, CtlError> HelperInstall::installStagedPrivately(const InstallEnvironment& env,
                                                                   const std::string& source) {
  const auto& names = serviceNames();
  // Here the temporary directory is usually the shared, sticky /tmp, where a fixed name may be
  // another user's file: the job is staged in a directory of this installation's own, and both
  // are gone again whatever the script did.
  auto directory = service::makePrivateDirectory(env.temporaryDirectory, "vt-install-");
  if (!directory) {
    return tl::unexpected(CtlError::passedOn(directory.error()));
  }
  // The service unit, and the socket unit beside it.
  const std::string staged = *directory + "/" + env.layout.jobFileName(names);
  const std::string stagedSocket = *directory + "/" + env.layout.socketFileName(names);
  tl::expected<void, CtlError> result;
  if (auto written = service::writeFileAtomically(staged, env.layout.jobDocument(names));
      !written) {
    result = tl::unexpected(CtlError::passedOn(written.error()));
  } else if (auto socketWritten =
                 service::writeFileAtomically(stagedSocket, env.layout.socketDocument(names));
             !socketWritten) {
    result = tl::unexpected(CtlError::passedOn(socketWritten.error()));
  } else {
    result = runAdmin(env.layout.installScript(names, source, staged), env);
  }
  (void)service::removeFile(stagedSocket);
  (void)service::removeFile(staged);
  (void)service::removeDirectory(*directory);
  return result;
}

void HelperInstall::unregisterLegacySMAppService(const InstallEnvironment& env) {
  if (!env.registry) {
    return;
  }
  const std::string name(Constants::legacyPlistName);
  const auto status = env.registry->status(name);
  if (status == service::RegistrationStatus::enabled ||
      status == service::RegistrationStatus::requiresApproval) {
    // An older registration that cannot be removed must not stand in the way of this one.
    (void)env.registry->unregister(name);
  }
}

tl::expected<void, CtlError> HelperInstall::runAdmin(const std::string& script,
                                                     const InstallEnvironment& env) {
  VT_CHECK(env.adminRunner != nullptr);
  const auto outcome = env.adminRunner->run(env.layout.adminCommand(script, env.callerIsRoot));
  if (!outcome) {
    return tl::unexpected(CtlError::passedOn(outcome.error()));
  }
  if (outcome->status == 0) {
    return {};
  }
  const std::string& text = outcome->standardError;
  // A plain shell may fail without a word; the tool's message must still say what failed.
  const bool silent = text.empty() && env.layout.kind() != service::Layout::Kind::darwin;
  if (!isValidUtf8(text) || silent) {
    return tl::unexpected(
        CtlError::own(outcome->status, env.layout.adminProgramName(env.callerIsRoot) + " failed"));
  }
  return tl::unexpected(CtlError::own(outcome->status, text));
}

}  // namespace vantreel
