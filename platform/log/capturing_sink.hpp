#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log_sink.hpp"

namespace vantreel::platform::log {

// Keeps every entry, unaltered, for tests to read.
class CapturingSink final : public LogSink {
 public:
  struct Entry {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view message) noexcept override;

  [[nodiscard]] std::vector<Entry> entries() const;
  [[nodiscard]] std::vector<std::string> messages() const;
  void clear();

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<Entry> entries_;
};

}  // namespace vantreel::platform::log
