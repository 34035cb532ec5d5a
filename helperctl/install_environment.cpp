#include "helperctl/install_environment.hpp"

#include "platform/service/host.hpp"
#include "platform/service/spawn_admin_runner.hpp"

namespace vantreel {

InstallEnvironment InstallEnvironment::system() {
  namespace service = platform::service;
  InstallEnvironment env;
  env.layout = service::Layout::running();
  env.adminRunner = std::make_shared<service::SpawnAdminRunner>();
  env.registry = service::systemServiceRegistry();
  env.firstArgument = service::firstProcessArgument();
  env.mainBundle = service::mainBundleLocation();
  env.temporaryDirectory = service::temporaryDirectory();
  env.callerIsRoot = service::effectiveUserIsRoot();
  return env;
}

}  // namespace vantreel
