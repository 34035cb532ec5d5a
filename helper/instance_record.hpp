#pragma once

#include <string>
#include <tl/expected.hpp>

#include "helper/runner_settings.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel {

// What a daemon leaves behind when it dies without stopping its tunnel, and how the next one
// finds and ends it: the running child (pid, start time, copy directory) is recorded in
// settings.tunnelRecord while it runs, beside a lock that one daemon per service holds for its
// life. Nothing is recorded or locked without a tunnel record.
class InstanceRecord {
 public:
  explicit InstanceRecord(const RunnerSettings& settings) : settings_(settings) {}

  // Fails when another live daemon of the same service holds the lock.
  [[nodiscard]] tl::expected<void, std::string> lock();
  void write(int pid, const std::string& directory) const;
  void erase() const;
  // Stops an OpenConnect that an earlier instance recorded and left running (recognised by pid,
  // start time and its program inside one of the copies), replays the disconnect it owes,
  // removes copy directories that nobody uses any more, and logs one entry when it found
  // anything.
  void recoverEarlier() const;

 private:
  const RunnerSettings& settings_;  // the runner's, which outlives this
  platform::posix::UniqueFd instanceLock_;
};

}  // namespace vantreel
