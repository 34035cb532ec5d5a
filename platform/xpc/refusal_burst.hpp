#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantreel::platform::xpc {

// Refusals come in floods when someone hammers the service; one entry each would bury the
// service's other entries under the log's rate limit. The first refusal of a burst is told in
// full, the rest as one count once the burst has been quiet for a while (or, in a flood that
// goes on, every `longest`). Not thread-safe.
class RefusalBurst {
 public:
  using Clock = std::chrono::steady_clock;

  RefusalBurst(Clock::duration quiet, Clock::duration longest) : quiet_(quiet), longest_(longest) {}

  // The entries to write now for a refusal told by text.
  [[nodiscard]] std::vector<std::string> refused(std::string text, Clock::time_point now);
  // The count of the burst, once it has been quiet long enough.
  [[nodiscard]] std::optional<std::string> settle(Clock::time_point now);
  // When settle() has something to say, if ever.
  [[nodiscard]] std::optional<Clock::time_point> settleDue() const;

 private:
  Clock::duration quiet_;
  Clock::duration longest_;
  std::optional<Clock::time_point> last_;  // of the burst's latest refusal, while it lasts
  Clock::time_point told_{};               // when the burst was last told of
  std::uint64_t untold_ = 0;
  std::string lastText_;
};

}  // namespace vantreel::platform::xpc
