#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace vantreel::platform::posix {

// What the kernel keeps about every entry of the directory tree at root (root itself included,
// links not followed): name, type, mode, owner, device, inode, size and modification and change
// times, as one text in a fixed order. Two equal fingerprints taken at different times mean
// that nothing in the tree changed in between, since nobody but the kernel sets a change time.
//
// Nothing when that cannot be relied upon: the tree is not on a local filesystem whose times
// the kernel keeps itself (a user's FUSE mount or a network filesystem may report anything), it
// spans mounts, it holds more than maxEntries entries, or an entry changed less than settled
// ago (a change within the change clock's granularity leaves the time as it was).
[[nodiscard]] std::optional<std::string> treeFingerprint(const std::string& root,
                                                         std::size_t maxEntries,
                                                         std::chrono::milliseconds settled);

}  // namespace vantreel::platform::posix
