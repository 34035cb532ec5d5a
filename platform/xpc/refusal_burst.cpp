#include "platform/xpc/refusal_burst.hpp"

#include <algorithm>
#include <utility>

namespace vantreel::platform::xpc {
namespace {

constexpr std::string_view kFullPrefix = "refused connection from ";

}  // namespace

std::vector<std::string> RefusalBurst::refused(std::string text, Clock::time_point now) {
  std::vector<std::string> entries;
  if (auto count = settle(now)) {
    entries.push_back(std::move(*count));
  }
  if (last_) {
    ++untold_;
    lastText_ = std::move(text);
  } else {
    entries.push_back(std::move(text));
    told_ = now;
  }
  last_ = now;
  return entries;
}

std::optional<std::string> RefusalBurst::settle(Clock::time_point now) {
  if (!last_) {
    return std::nullopt;
  }
  if (now - *last_ >= quiet_) {
    last_.reset();
  } else if (untold_ == 0 || now - told_ < longest_) {
    return std::nullopt;
  }
  if (untold_ == 0) {
    return std::nullopt;
  }
  told_ = now;
  // "refused connection from pid 7: why" becomes "... (the last from pid 7: why)".
  std::string last =
      lastText_.starts_with(kFullPrefix) ? lastText_.substr(kFullPrefix.size()) : lastText_;
  std::string entry = "refused " + std::to_string(std::exchange(untold_, 0)) +
                      " more connections (the last from " + last + ")";
  lastText_.clear();
  return entry;
}

std::optional<RefusalBurst::Clock::time_point> RefusalBurst::settleDue() const {
  if (!last_) {
    return std::nullopt;
  }
  return untold_ == 0 ? *last_ + quiet_ : std::min(*last_ + quiet_, told_ + longest_);
}

}  // namespace vantreel::platform::xpc
