#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/os_status.hpp"

namespace vantreel::platform::codesign {

// The canonical description of a bundle's contents that its seal signs: every regular file and
// symbolic link under the bundle root except Contents/_CodeSignature, sorted by path, each as
// [path, "file", exec bit, SHA-256 of the contents] or [path, "link", false, link target],
// encoded as one CBOR array. Directories are walked without following links and the walk is
// bounded, so a hostile bundle can neither lead it outside nor make it run without end.
class BundleManifest {
 public:
  static constexpr std::string_view kSealFolder = "Contents/_CodeSignature";
  static constexpr std::string_view kSealFile = "Contents/_CodeSignature/CodeResources";

  struct Limits {
    std::size_t maxDepth = 24;
    std::size_t maxEntries = 20000;
  };

  // rootFd is an open directory, the bundle root. errSecCSBadResource for anything that cannot
  // be sealed (a device, socket or FIFO, a limit reached, an unreadable entry).
  [[nodiscard]] static tl::expected<std::vector<std::uint8_t>, OSStatus> build(int rootFd,
                                                                               Limits limits);
  [[nodiscard]] static tl::expected<std::vector<std::uint8_t>, OSStatus> build(int rootFd) {
    return build(rootFd, Limits{});
  }
  // Opens path as the root (errSecCSStaticCodeNotFound when it is no directory).
  [[nodiscard]] static tl::expected<std::vector<std::uint8_t>, OSStatus> buildForPath(
      const std::string& path, Limits limits);
};

}  // namespace vantreel::platform::codesign
