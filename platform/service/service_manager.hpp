#pragma once

#include <optional>
#include <string>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::service {

// What a daemon tells the service manager that started it, and what it asks of it.

// Tells a systemd that waits for it (Type=notify, NOTIFY_SOCKET set) that the daemon is ready;
// nothing where no service manager waits. Only the main process is heard (NotifyAccess=main),
// so the programs the daemon starts cannot speak for it.
[[nodiscard]] posix::SysResult<void> notifyReady();

// Marks the descriptors a service manager handed over (LISTEN_FDS, from descriptor 3, when
// LISTEN_PID is this process) close-on-exec, so that no program the daemon starts before it
// takes them over inherits its endpoint. For the start of main, before any thread.
void keepInheritedDescriptorsFromPrograms();

// The systemd service unit the process runs in, from its control group, when it runs in one.
[[nodiscard]] std::optional<std::string> ownServiceUnit();

}  // namespace vantreel::platform::service
