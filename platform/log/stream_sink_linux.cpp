#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/log/stream_sink.hpp"

namespace vantreel::platform::log {
namespace {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};

std::optional<FileIdentity> identityOf(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::nullopt;
  }
  return FileIdentity{info.st_dev, info.st_ino};
}

// JOURNAL_STREAM is "<device>:<inode>" in decimal, as systemd sets it for a service whose
// standard error is connected to the journal.
bool namesJournal(const char* journalStream, int fd) {
  if (journalStream == nullptr) {
    return false;
  }
  const std::string_view text(journalStream);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return false;
  }
  unsigned long long device = 0;
  unsigned long long inode = 0;
  const char* end = text.data() + text.size();
  const auto dev = std::from_chars(text.data(), text.data() + colon, device);
  const auto ino = std::from_chars(text.data() + colon + 1, end, inode);
  if (dev.ec != std::errc() || dev.ptr != text.data() + colon || ino.ec != std::errc() ||
      ino.ptr != end) {
    return false;
  }
  const auto identity = identityOf(fd);
  return identity && identity->device == device && identity->inode == inode;
}

bool isSocket(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

// One call per line; a short write is continued, an error drops the rest, since logging never
// fails towards its caller. A socket (the journal's stream) gets MSG_NOSIGNAL so that a
// vanished reader cannot kill the process with SIGPIPE.
void writeLine(int fd, bool socket, std::string_view line) noexcept {
  while (!line.empty()) {
    const ssize_t n = socket ? ::send(fd, line.data(), line.size(), MSG_NOSIGNAL)
                             : ::write(fd, line.data(), line.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    line.remove_prefix(static_cast<std::size_t>(n));
  }
}

void appendEscaped(std::string& out, std::string_view message) {
  constexpr char kHex[] = "0123456789abcdef";
  for (const char ch : message) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if ((byte < 0x20 && ch != '\t') || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += ch;
    }
  }
}

}  // namespace

StreamSink::StreamSink(int fd)
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once at construction, nothing sets it.
    : fd_(fd), journal_(namesJournal(std::getenv("JOURNAL_STREAM"), fd)), socket_(isSocket(fd)) {}

std::string StreamSink::formatLine(LogLevel level, std::string_view subsystem,
                                   std::string_view category, std::string_view message,
                                   bool journal) {
  std::string line;
  line.reserve(subsystem.size() + category.size() + message.size() + 16);
  if (journal) {
    line += level == LogLevel::error ? "<3>" : "<6>";
  }
  line += levelName(level);
  line += ' ';
  line += subsystem;
  line += '[';
  line += category;
  line += "]: ";
  appendEscaped(line, message);
  return line;
}

void StreamSink::write(LogLevel level, std::string_view subsystem, std::string_view category,
                       std::string_view message) noexcept {
  try {
    std::string line = formatLine(level, subsystem, category, message, journal_);
    line += '\n';
    writeLine(fd_, socket_, line);
  } catch (...) {
    // Out of memory while formatting: the entry is lost.
  }
}

}  // namespace vantreel::platform::log
