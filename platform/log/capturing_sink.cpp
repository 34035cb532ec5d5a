#include "platform/log/capturing_sink.hpp"

namespace vantreel::platform::log {

void CapturingSink::write(LogLevel level, std::string_view subsystem, std::string_view category,
                          std::string_view message) noexcept {
  try {
    Entry entry{level, std::string(subsystem), std::string(category), std::string(message)};
    const std::scoped_lock lock(mutex_);
    entries_.push_back(std::move(entry));
  } catch (...) {
    // Out of memory: the entry is lost, as logging never fails towards its caller.
  }
}

std::vector<CapturingSink::Entry> CapturingSink::entries() const {
  const std::scoped_lock lock(mutex_);
  return entries_;
}

std::vector<std::string> CapturingSink::messages() const {
  const std::scoped_lock lock(mutex_);
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) {
    result.push_back(entry.message);
  }
  return result;
}

void CapturingSink::clear() {
  const std::scoped_lock lock(mutex_);
  entries_.clear();
}

}  // namespace vantreel::platform::log
