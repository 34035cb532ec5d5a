#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include "platform/posix/entry_watch.hpp"
#include "platform/posix/io.hpp"

namespace vantreel::platform::posix {

SysResult<EntryWatch> EntryWatch::open(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  UniqueFd fd(::inotify_init1(IN_CLOEXEC));
  if (fd.get() < 0) {
    return tl::unexpected(lastError("inotify_init1"));
  }
  if (::inotify_add_watch(fd.get(), directory.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR) < 0) {
    return tl::unexpected(lastError("inotify_add_watch " + directory));
  }
  return EntryWatch(std::move(fd), name);
}

SysResult<void> EntryWatch::wait() const {
  alignas(inotify_event) std::array<std::byte, 4096> buffer{};
  for (;;) {
    const auto got = readSome(fd_.get(), buffer);
    if (!got) {
      return tl::unexpected(got.error());
    }
    for (std::size_t at = 0; at + sizeof(inotify_event) <= *got;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + at, sizeof event);
      const char* name = reinterpret_cast<const char*>(buffer.data() + at + sizeof event);
      if (event.len > 0 && name_ == std::string(name, ::strnlen(name, event.len))) {
        return {};
      }
      at += sizeof event + event.len;
    }
  }
}

bool EntryWatch::writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

}  // namespace vantreel::platform::posix
