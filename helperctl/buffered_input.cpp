#include "helperctl/buffered_input.hpp"

#include <cstddef>
#include <span>
#include <utility>

#include "platform/posix/io.hpp"
#include "platform/posix/secret_wipe.hpp"

namespace vantreel {
namespace {

using platform::posix::wipeSecret;

constexpr std::size_t readSize = 4096;
// Room for the longest line anyone reads and one read beyond it, so that the buffer is not
// moved (leaving a copy of a secret behind) while a line is read.
constexpr std::size_t reservedBytes = 4 * readSize;

}  // namespace

BufferedInput::BufferedInput(int fd) : fd_(fd) { buffer_.reserve(reservedBytes); }

BufferedInput::~BufferedInput() { wipeSecret(buffer_); }

BufferedInput::Line BufferedInput::readLine(std::size_t limit) {
  for (;;) {
    if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
      return take(newline, limit);
    }
    // One byte more than the limit may still be the "\r" of a "\r\n".
    if (buffer_.size() > limit + 1) {
      wipeSecret(buffer_);
      return Line{{}, true};
    }
    if (!fill()) {
      return take(std::string::npos, limit);
    }
  }
}

BufferedInput::Line BufferedInput::take(std::size_t newline, std::size_t limit) {
  Line line;
  if (newline == std::string::npos) {
    line.ended = buffer_.empty();
    line.text.swap(buffer_);
    // The buffer's room goes with the text; the next reads get room of their own.
    buffer_.reserve(reservedBytes);
  } else {
    line.text.assign(buffer_, 0, newline);
    buffer_.erase(0, newline + 1);
    if (!line.text.empty() && line.text.back() == '\r') {
      line.text.pop_back();
    }
  }
  if (line.text.size() > limit) {
    wipeSecret(line.text);
    return Line{{}, true};
  }
  return line;
}

BufferedInput::Next BufferedInput::skipLine(const std::stop_token& stop) {
  for (;;) {
    if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
      buffer_.erase(0, newline + 1);
      return Next::line;
    }
    wipeSecret(buffer_);
    if (stop.stop_requested()) {
      return Next::stopped;
    }
    auto readable = platform::posix::waitReadable(fd_, wakeUp);
    if (!readable) {
      return Next::ended;
    }
    if (*readable && !fill()) {
      return Next::ended;
    }
  }
}

bool BufferedInput::fill() {
  const std::size_t held = buffer_.size();
  if (held + readSize > buffer_.capacity()) {
    // Grown by hand: a string's own growth would hand back the old bytes unwiped.
    std::string grown;
    grown.reserve(2 * (held + readSize));
    grown.append(buffer_);
    wipeSecret(buffer_);
    buffer_.swap(grown);
  }
  // Read straight into the buffer's room: no other copy of the input is ever made.
  buffer_.resize(held + readSize);
  auto got = platform::posix::readSome(
      fd_, std::as_writable_bytes(std::span(buffer_.data() + held, readSize)));
  const std::size_t kept = got ? *got : 0;
  buffer_.resize(held + kept);
  return kept > 0;
}

}  // namespace vantreel
