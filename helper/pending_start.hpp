#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "helper/runner_error.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel {

// A start between its claim and its launch. A stop or the daemon's end interrupts it, which
// wakes the start's waits; its launch then refuses. The runner's lock guards owner and
// interruption.
struct PendingStart {
  platform::posix::UniqueFd wake;  // an eventfd, readable once interrupted
  std::weak_ptr<const void> owner;
  std::uint64_t generation = 0;
  std::chrono::system_clock::time_point since;
  std::optional<RunnerError> interruption;

  // The first reason given is the one the start reports.
  void interrupt(RunnerError reason);
};

// Whether owner is the very object that claimed (identity of the object, not of a pointer value
// that a newer object may have taken over).
[[nodiscard]] bool isOwner(const std::weak_ptr<const void>& claimant,
                           const std::shared_ptr<const void>& owner);

}  // namespace vantreel
