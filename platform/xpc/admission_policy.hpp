#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/posix/sys_error.hpp"

namespace vantreel::platform::xpc {

// The listener's own limits, fixed while it runs.
struct AdmissionLimits {
  std::size_t maximum = 64;  // open connections, and again those still ending
  std::size_t perUser = 8;   // of any one user but the service's own
  std::uint32_t ownUid = 0;
};

// The slots taken when a connection arrives. A connection holds its slot until its thread has
// ended: that, not whether its peer is still there, is what costs the service a thread and
// descriptors.
struct Occupancy {
  std::size_t open = 0;    // slots whose peer is still there
  std::size_t ending = 0;  // slots whose peer has gone, their thread still finishing a call
  std::size_t ofUser = 0;  // slots of the arriving peer's uid, either kind
};

// What /proc said of the peer's namespaces, compared with the service's.
struct NamespaceFacts {
  posix::SysResult<bool> sameNamespaces;
  // Read only when the namespaces could not be (EACCES): whether the pid namespace is as deep.
  std::optional<posix::SysResult<bool>> samePidDepth;
  // Whether the peer still lived after /proc was read; EPERM counts as alive.
  posix::SysResult<void> alive;
};

struct AdmissionFacts {
  std::optional<std::uint32_t> uid;  // nullopt when the kernel would not say
  Occupancy occupancy;
  // nullopt while the peer's identity is not taken yet: then only the slots are judged.
  std::optional<NamespaceFacts> namespaces;
};

// Why the listener refuses a connection itself, before the delegate sees it; nullopt lets it
// through. Cheap to call with the namespaces still unread, so that a flood is refused before
// anything about its peers is read.
[[nodiscard]] std::optional<std::string> admissionRefusal(const AdmissionLimits& limits,
                                                          const AdmissionFacts& facts);

}  // namespace vantreel::platform::xpc
