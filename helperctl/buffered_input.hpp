#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>

namespace vantreel {

// Standard input for a connect. The password line and the watcher's line are read through the
// same buffer, so the watcher sees exactly what follows the password, even when both came in
// one read. What the buffer held is wiped as it is given up: it may hold a secret.
class BufferedInput {
 public:
  struct Line {
    std::string text;
    bool tooLong = false;
    bool ended = false;  // no line: the input had ended
  };
  enum class Next { line, ended, stopped };

  // How often skipLine looks whether it was asked to stop meanwhile.
  static constexpr std::chrono::milliseconds wakeUp{200};

  explicit BufferedInput(int fd);
  BufferedInput(const BufferedInput&) = delete;
  BufferedInput& operator=(const BufferedInput&) = delete;
  ~BufferedInput();

  // The next line without its "\n" or "\r\n"; the end of input (or a read error) ends it too.
  // Stops reading once the line is known to hold more than limit bytes.
  [[nodiscard]] Line readLine(std::size_t limit);
  // Waits for one more line or the end of input, discarding what it reads.
  [[nodiscard]] Next skipLine(const std::stop_token& stop);

 private:
  // The first line of the buffer, which ends before newline, or all of it when newline is
  // npos; taken out of the buffer.
  [[nodiscard]] Line take(std::size_t newline, std::size_t limit);
  // Appends one read's worth; false at end of input or on a read error.
  [[nodiscard]] bool fill();

  int fd_;
  std::string buffer_;
};

}  // namespace vantreel
