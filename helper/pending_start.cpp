#include "helper/pending_start.hpp"

#include "platform/posix/io.hpp"

namespace vantreel {

void PendingStart::interrupt(RunnerError reason) {
  if (!interruption) {
    interruption = std::move(reason);
  }
  platform::posix::signalWake(wake.get());
}

bool isOwner(const std::weak_ptr<const void>& claimant, const std::shared_ptr<const void>& owner) {
  return !claimant.owner_before(owner) && !owner.owner_before(claimant);
}

}  // namespace vantreel
