#include "platform/xpc/admission_policy.hpp"

#include <cerrno>

namespace vantreel::platform::xpc {
namespace {

// The cap bounds the service's threads and descriptors; the share keeps one user from taking
// all of them, so that another user's call still gets in. The service's own user is not held to
// a share: it can end the service anyway.
std::optional<std::string> slotRefusal(const AdmissionLimits& limits, const AdmissionFacts& facts) {
  const auto& occupancy = facts.occupancy;
  if (occupancy.open >= limits.maximum) {
    return std::to_string(limits.maximum) + " connections are open already";
  }
  if (occupancy.ending >= limits.maximum) {
    return std::to_string(limits.maximum) + " connections whose clients have gone are still ending";
  }
  if (!facts.uid) {
    return "its user is unknown";
  }
  if (*facts.uid != limits.ownUid && occupancy.ofUser >= limits.perUser) {
    return "uid " + std::to_string(*facts.uid) + " holds " + std::to_string(limits.perUser) +
           " connections already";
  }
  return std::nullopt;
}

// In a user namespace of its own a process may put any pid of its pid namespace on a frame as
// the sender, and the kernel even attaches that process's pidfd: the per-frame sender check
// holds only for peers in the service's own pid and user namespaces. A service that may not
// look at another user's namespaces (one not run as root) tells a nested pid namespace by its
// depth instead.
std::optional<std::string> namespaceRefusal(const NamespaceFacts& facts) {
  bool foreign = false;
  std::optional<posix::SysError> unknown;
  if (facts.sameNamespaces) {
    foreign = !*facts.sameNamespaces;
  } else if (facts.sameNamespaces.error().code == EACCES && facts.samePidDepth) {
    if (*facts.samePidDepth) {
      foreign = !**facts.samePidDepth;
    } else {
      unknown = facts.samePidDepth->error();
    }
  } else {
    unknown = facts.sameNamespaces.error();
  }
  // Read under /proc: valid only if the peer still lives, so that its pid was not reused.
  if (!facts.alive && facts.alive.error().code != EPERM) {
    unknown = facts.alive.error();
  }
  if (unknown) {
    return unknown->description();
  }
  if (foreign) {
    return "it runs in another pid or user namespace than the service";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> admissionRefusal(const AdmissionLimits& limits,
                                            const AdmissionFacts& facts) {
  if (auto refused = slotRefusal(limits, facts)) {
    return refused;
  }
  if (facts.namespaces) {
    return namespaceRefusal(*facts.namespaces);
  }
  return std::nullopt;
}

}  // namespace vantreel::platform::xpc
