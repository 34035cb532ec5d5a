#pragma once

#include <string>
#include <string_view>

#include "platform/log/log_sink.hpp"

namespace vantreel::platform::log {

// Writes one line per entry to a descriptor (standard error by default):
// "<level> <subsystem>[<category>]: <message>", with the syslog priority prefix "<6>" or "<3>"
// when JOURNAL_STREAM names that descriptor's device and inode, so the journal keeps the level.
// Each line leaves in one write, so lines of different threads never interleave.
class StreamSink final : public LogSink {
 public:
  // fd is borrowed, never closed. JOURNAL_STREAM is read once, here.
  explicit StreamSink(int fd = 2);

  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view message) noexcept override;

  [[nodiscard]] bool journal() const noexcept { return journal_; }

  // The line without its line feed. Control characters in the message are escaped ("\n" as
  // the two characters \ n, others as \xNN) so that no message can start a forged entry.
  [[nodiscard]] static std::string formatLine(LogLevel level, std::string_view subsystem,
                                              std::string_view category, std::string_view message,
                                              bool journal);

 private:
  int fd_;
  bool journal_;
  bool socket_;
};

}  // namespace vantreel::platform::log
