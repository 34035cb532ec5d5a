#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/os_status.hpp"
#include "platform/codesign/sha256.hpp"

namespace vantreel::platform::codesign {

// The canonical description of a bundle's contents that its seal signs: every regular file and
// symbolic link under the bundle root except Contents/_CodeSignature, sorted by path, each as
// [path, "file", exec bit, SHA-256 of the contents, size] or [path, "link", false, link target],
// encoded as one CBOR array. The seal keeps the encoding beside its signature, so a check can
// hold the bundle's names, types and sizes against it before it reads a byte of any file.
// Directories are walked without following links and the walk is bounded, so a hostile bundle
// can neither lead it outside nor make it run or read without end.
class BundleManifest {
 public:
  static constexpr std::string_view kSealFolder = "Contents/_CodeSignature";
  static constexpr std::string_view kSealFile = "Contents/_CodeSignature/CodeResources";
  // Far above what a bundle of ours lists (a few hundred bytes per entry).
  static constexpr std::size_t kMaxEncodedSize = std::size_t{4} * 1024 * 1024;

  struct Limits {
    std::size_t maxDepth = 24;
    std::size_t maxEntries = 20000;
    // All files' contents together; our bundle holds a few MB.
    std::uint64_t maxBytes = std::uint64_t{256} * 1024 * 1024;
  };

  struct Entry {
    std::string path;
    bool link = false;
    bool executable = false;
    std::uint64_t size = 0;   // a file's
    Sha256::Digest digest{};  // a file's
    std::string target;       // a link's
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

  [[nodiscard]] static std::vector<std::uint8_t> encode(const std::vector<Entry>& entries);
  // Nothing unless bytes are exactly what encode makes of entries that build could have found
  // within limits (sorted, unique, relative paths without "." or ".." components).
  [[nodiscard]] static std::optional<std::vector<Entry>> decode(std::span<const std::uint8_t> bytes,
                                                                Limits limits);

  // Whether the bundle under rootFd holds exactly the sealed entries: first every name, type,
  // exec bit, size and link target, without opening a file; only then each file's contents,
  // exactly its sealed size of them. errSecCSBadResource on any difference, or when the sealed
  // sizes add up to more than limits.maxBytes.
  [[nodiscard]] static OSStatus check(int rootFd, const std::vector<Entry>& sealed, Limits limits);
};

}  // namespace vantreel::platform::codesign
