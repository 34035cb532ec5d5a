#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/sys_error.hpp"

// What the installer asks of the running process and its file system.
namespace vantreel::platform::service {

// The first process argument (the path the program was started by), or nothing when the
// process was started without any argument.
[[nodiscard]] std::optional<std::string> firstProcessArgument();

// The location of the running program's main bundle: the app bundle when the executable lies
// in <bundle>/Contents/MacOS, otherwise the directory holding the executable.
[[nodiscard]] std::optional<std::string> mainBundleLocation();

// The bundle that an executable at the given path belongs to, by the rule above.
[[nodiscard]] std::string bundleLocationOfExecutable(const std::string& executablePath);

// path made absolute against the working directory, with "." and ".." folded lexically.
[[nodiscard]] std::string absolutePath(const std::string& path);

// path with every symbolic link resolved; a path that does not exist (in full) is returned
// absolute but otherwise as given.
[[nodiscard]] std::string resolvingSymlinks(const std::string& path);

// The last path component, and the text after its last dot ("" when there is none, and for a
// name that is nothing but a dot and an extension, such as ".app").
[[nodiscard]] std::string lastPathComponent(std::string_view path);
[[nodiscard]] std::string pathExtension(std::string_view path);
[[nodiscard]] std::string deletingLastPathComponent(std::string_view path);

// A regular file (symbolic links followed) that the caller may execute.
[[nodiscard]] bool isExecutableFile(const std::string& path);
// Anything at all at path, a dangling symbolic link included.
[[nodiscard]] bool entryExists(const std::string& path);
[[nodiscard]] bool isDirectory(const std::string& path);

// The user's directory for temporary files: $TMPDIR when it is an absolute path, else /tmp.
[[nodiscard]] std::string temporaryDirectory();

// A new directory of mode 0700 under parent, named prefix + six random characters; nobody else
// can plant or replace a file in it.
[[nodiscard]] posix::SysResult<std::string> makePrivateDirectory(const std::string& parent,
                                                                 std::string_view prefix);
// Removes a file, or an empty directory.
[[nodiscard]] posix::SysResult<void> removeFile(const std::string& path);
[[nodiscard]] posix::SysResult<void> removeDirectory(const std::string& path);

// Writes contents to a fresh side file in the same directory and renames it over path.
[[nodiscard]] posix::SysResult<void> writeFileAtomically(const std::string& path,
                                                         std::string_view contents,
                                                         unsigned mode = 0644);

[[nodiscard]] bool effectiveUserIsRoot();

// Tells one boot of the machine from the next; empty when the system does not say.
[[nodiscard]] std::string currentBootId();

// The first of names that this system has a locale for, or the last of them when it has none.
[[nodiscard]] std::string firstAvailableLocale(const std::vector<std::string>& names);

}  // namespace vantreel::platform::service
