#include "platform/service/service_registry.hpp"

namespace vantreel::platform::service {
namespace {

class NoServiceRegistry final : public ServiceRegistry {
 public:
  RegistrationStatus status(const std::string& /*plistName*/) override {
    return RegistrationStatus::notFound;
  }
  posix::SysResult<void> unregister(const std::string& plistName) override {
    return tl::unexpected(posix::SysError{ENOENT, "unregister " + plistName});
  }
};

}  // namespace

std::shared_ptr<ServiceRegistry> systemServiceRegistry() {
  return std::make_shared<NoServiceRegistry>();
}

}  // namespace vantreel::platform::service
