#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/scratch_directory.hpp"
#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "shared/constants.hpp"

namespace {

namespace fs = std::filesystem;

// Input: a bundle as entries of
//   type (1 byte: 0 file, 1 executable file, 2 symbolic link, 3 directory, 4 FIFO; mod 5)
//   path length (1 byte), path (relative; ".", ".." and empty components are dropped)
//   data length (2 bytes, little-endian), data (a file's contents or a link's target)
// laid out under Fuzz.app; a truncated entry ends the input. Seeds are sealed bundles whose
// seal verifies under fuzz/corpus/seed-anchor.pem.
class Reader {
 public:
  explicit Reader(std::string_view input) : input_(input) {}
  bool take(std::size_t n, std::string_view& out) {
    if (input_.size() < n) {
      return false;
    }
    out = input_.substr(0, n);
    input_.remove_prefix(n);
    return true;
  }

 private:
  std::string_view input_;
};

fs::path relativePath(std::string_view text) {
  fs::path out;
  while (!text.empty()) {
    const auto slash = text.find('/');
    const std::string_view part = text.substr(0, slash);
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) {
      continue;
    }
    out /= fs::path(std::string(part));
  }
  return out;
}

// Whether making relative under root stays under it: no component that exists may be a link,
// or a later entry would write through it (as root, anywhere).
bool reachableWithoutLinks(const fs::path& root, const fs::path& relative) {
  fs::path at = root;
  for (const auto& part : relative) {
    at /= part;
    std::error_code error;
    const auto status = fs::symlink_status(at, error);
    if (status.type() == fs::file_type::not_found) {
      return true;
    }
    if (error || status.type() == fs::file_type::symlink) {
      return false;
    }
  }
  return true;
}

// Entries that cannot be made (a name too long, a parent that is a file) are skipped.
void layOut(const fs::path& root, std::string_view input) {
  Reader reader(input);
  std::string_view type;
  std::string_view pathLength;
  std::string_view path;
  std::string_view dataLength;
  std::string_view data;
  while (reader.take(1, type) && reader.take(1, pathLength) &&
         reader.take(static_cast<unsigned char>(pathLength[0]), path) &&
         reader.take(2, dataLength) &&
         reader.take(static_cast<unsigned char>(dataLength[0]) |
                         (static_cast<std::size_t>(static_cast<unsigned char>(dataLength[1])) << 8),
                     data)) {
    const fs::path relative = relativePath(path);
    if (relative.empty() || !reachableWithoutLinks(root, relative)) {
      continue;
    }
    const fs::path target = root / relative;
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    if (error) {
      continue;
    }
    switch (static_cast<unsigned char>(type[0]) % 5) {
      case 0:
      case 1: {
        // Opening a FIFO put there earlier for writing would wait for a reader forever.
        const auto existing = fs::symlink_status(target, error).type();
        if (existing != fs::file_type::not_found && existing != fs::file_type::regular) {
          break;
        }
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        const auto mode =
            static_cast<unsigned char>(type[0]) % 5 == 1 ? fs::perms(0755) : fs::perms(0644);
        fs::permissions(target, mode, error);
        break;
      }
      case 2:
        if (data.find('\0') == std::string_view::npos) {
          fs::create_symlink(std::string(data), target, error);
        }
        break;
      case 3:
        fs::create_directory(target, error);
        break;
      default:
        (void)mkfifo(target.c_str(), 0644);
        break;
    }
  }
}

}  // namespace

// The bundle is judged as the daemon judges the bundle a caller runs from (its seal against
// our Team ID), and its manifest is built on its own as well, since the check reads one only
// behind a seal that verified; the input itself is read as a sealed manifest too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace cs = vantreel::platform::codesign;
  static const fs::path root = ScratchDirectory::path() / "Fuzz.app";
  static const auto requirement =
      cs::SecRequirement::compile("anchor apple generic and certificate leaf[subject.OU] = \"" +
                                  vantreel::Constants::teamID() + "\"");
  if (!requirement) {
    std::abort();
  }
  std::error_code error;
  fs::remove_all(root, error);
  if (error || !fs::create_directory(root, error)) {
    std::abort();
  }
  layOut(root, std::string_view(reinterpret_cast<const char*>(data), size));

  auto& security = cs::CodeSigning::real();
  const auto code = security.SecStaticCodeCreateWithPath(root.string(), cs::kSecCSDefaultFlags);
  if (!code || (*code)->kind() != cs::SecStaticCode::Kind::bundle) {
    std::abort();
  }
  const cs::OSStatus status =
      security.SecStaticCodeCheckValidity(*code, cs::kSecCSCheckAllArchitectures, *requirement);
  const auto manifest = cs::BundleManifest::buildForPath(root.string(), {});
  // The walk is deterministic, and a bundle whose seal held has a manifest.
  if ((status == cs::errSecSuccess && !manifest) ||
      manifest != cs::BundleManifest::buildForPath(root.string(), {})) {
    std::abort();
  }
  const auto shallow = cs::BundleManifest::buildForPath(root.string(), {4, 16});
  if (shallow && shallow != manifest) {
    std::abort();
  }
  // What the walk makes reads back as itself, and nothing else reads back at all.
  if (manifest) {
    const auto entries = cs::BundleManifest::decode(*manifest, {});
    if (!entries || cs::BundleManifest::encode(*entries) != *manifest) {
      std::abort();
    }
  }
  const std::span input(data, size);
  if (const auto entries = cs::BundleManifest::decode(input, {});
      entries && !std::ranges::equal(cs::BundleManifest::encode(*entries), input)) {
    std::abort();
  }
  return 0;
}
