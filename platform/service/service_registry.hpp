#pragma once

#include <memory>
#include <string>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::service {

// The operating system's registry of daemons that apps register by property-list name. The
// raw values are the registry's own.
enum class RegistrationStatus {
  notRegistered = 0,
  enabled = 1,
  requiresApproval = 2,
  notFound = 3,
};

class ServiceRegistry {
 public:
  virtual ~ServiceRegistry() = default;

  [[nodiscard]] virtual RegistrationStatus status(const std::string& plistName) = 0;
  [[nodiscard]] virtual posix::SysResult<void> unregister(const std::string& plistName) = 0;
};

// The running system's registry. Linux has no such registry: every name reads as not found, and
// older installations are cleared by the installation script instead.
[[nodiscard]] std::shared_ptr<ServiceRegistry> systemServiceRegistry();

}  // namespace vantreel::platform::service
