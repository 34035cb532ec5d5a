#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/service/host.hpp"

namespace vantreel::platform::service {
namespace {

std::optional<std::string> readLink(const std::string& path) {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) {
    return std::nullopt;
  }
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

std::optional<std::string> workingDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    return std::nullopt;
  }
  return std::string(buffer.data());
}

std::string sideFileSuffix() {
  std::random_device device;
  static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string suffix;
  for (int i = 0; i < 12; ++i) {
    suffix += digits[device() % (sizeof digits - 1)];
  }
  return suffix;
}

}  // namespace

std::optional<std::string> firstProcessArgument() {
  auto file = posix::openFile("/proc/self/cmdline", O_RDONLY);
  if (!file) {
    return std::nullopt;
  }
  std::string first;
  std::array<std::byte, 4096> buffer{};
  for (;;) {
    auto n = posix::readSome(file->get(), buffer);
    if (!n || *n == 0) {
      // Without a terminating NUL the process had no argument at all.
      return std::nullopt;
    }
    for (std::size_t i = 0; i < *n; ++i) {
      const char c = static_cast<char>(buffer[i]);
      if (c == '\0') {
        return first;
      }
      first += c;
    }
  }
}

std::string bundleLocationOfExecutable(const std::string& executablePath) {
  std::string directory = deletingLastPathComponent(executablePath);
  const std::string contents = deletingLastPathComponent(directory);
  if (lastPathComponent(directory) == "MacOS" && lastPathComponent(contents) == "Contents") {
    return deletingLastPathComponent(contents);
  }
  return directory;
}

std::optional<std::string> mainBundleLocation() {
  auto executable = readLink("/proc/self/exe");
  if (!executable || executable->empty() || executable->front() != '/') {
    return std::nullopt;
  }
  return bundleLocationOfExecutable(*executable);
}

std::string absolutePath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full.front() != '/') {
    full = workingDirectory().value_or("/") + "/" + full;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= full.size()) {
    const std::size_t end = std::min(full.find('/', start), full.size());
    const std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const auto& part : parts) {
    result += "/" + part;
  }
  return result.empty() ? "/" : result;
}

std::string resolvingSymlinks(const std::string& path) {
  // ".." is left for realpath to apply after the link before it, as the kernel would.
  std::string raw = path;
  if (raw.empty() || raw.front() != '/') {
    raw = workingDirectory().value_or("/") + "/" + raw;
  }
  char* resolved = ::realpath(raw.c_str(), nullptr);
  if (resolved == nullptr) {
    return absolutePath(path);
  }
  std::string result(resolved);
  std::free(resolved);  // NOLINT(cppcoreguidelines-no-malloc): realpath allocates with malloc
  return result;
}

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  if (path == "/") {
    return "/";
  }
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string pathExtension(std::string_view path) {
  const std::string name = lastPathComponent(path);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    return {};
  }
  return name.substr(dot + 1);
}

std::string deletingLastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return ".";
  }
  if (slash == 0) {
    return "/";
  }
  return std::string(path.substr(0, slash));
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

bool entryExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string temporaryDirectory() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the installer runs before any thread changes the
  // environment
  const char* value = ::secure_getenv("TMPDIR");
  if (value != nullptr && value[0] == '/') {
    return value;
  }
  return "/tmp";
}

posix::SysResult<std::string> makePrivateDirectory(const std::string& parent,
                                                   std::string_view prefix) {
  std::string pattern = parent + "/" + std::string(prefix) + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return tl::unexpected(posix::lastError("mkdtemp " + pattern));
  }
  return pattern;
}

posix::SysResult<void> removeFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    return tl::unexpected(posix::lastError("unlink " + path));
  }
  return {};
}

posix::SysResult<void> removeDirectory(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) {
    return tl::unexpected(posix::lastError("rmdir " + path));
  }
  return {};
}

posix::SysResult<void> writeFileAtomically(const std::string& path, std::string_view contents,
                                           unsigned mode) {
  const std::string side = path + ".tmp-" + sideFileSuffix();
  // O_EXCL with O_NOFOLLOW: a name planted in a shared directory is never written through.
  auto file = posix::openFile(side, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (!file) {
    return tl::unexpected(file.error());
  }
  auto written = posix::writeAll(file->get(), std::as_bytes(std::span(contents)));
  if (written && ::fsync(file->get()) != 0) {
    written = tl::unexpected(posix::lastError("fsync " + side));
  }
  file->reset();
  if (written && ::rename(side.c_str(), path.c_str()) != 0) {
    written = tl::unexpected(posix::lastError("rename " + side + " to " + path));
  }
  if (!written) {
    ::unlink(side.c_str());
    if (written.error().operation == "write") {
      written.error().operation = "write " + side;
    }
  }
  return written;
}

bool effectiveUserIsRoot() { return ::geteuid() == 0; }

std::string currentBootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

std::string firstAvailableLocale(const std::vector<std::string>& names) {
  for (const auto& name : names) {
    // newlocale, unlike setlocale, leaves the process's own locale alone.
    if (locale_t found = ::newlocale(LC_ALL_MASK, name.c_str(), nullptr); found != nullptr) {
      ::freelocale(found);
      return name;
    }
  }
  return names.empty() ? std::string() : names.back();
}

}  // namespace vantreel::platform::service
