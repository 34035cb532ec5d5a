#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/service/admin_runner.hpp"
#include "platform/service/layout.hpp"
#include "platform/service/service_registry.hpp"

namespace vantreel {

// Everything the installer takes from the machine it runs on. system() describes the running
// process; tests build their own to install into a scratch root with a recording runner.
struct InstallEnvironment {
  platform::service::Layout layout = platform::service::Layout::running();
  std::shared_ptr<platform::service::AdminRunner> adminRunner;
  std::shared_ptr<platform::service::ServiceRegistry> registry;
  std::optional<std::string> firstArgument;
  std::optional<std::string> mainBundle;
  std::string temporaryDirectory;
  bool callerIsRoot = false;

  [[nodiscard]] static InstallEnvironment system();
};

}  // namespace vantreel
