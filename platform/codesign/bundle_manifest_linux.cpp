#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/posix/io.hpp"

namespace vantreel::platform::codesign {
namespace {

struct Entry {
  std::string path;
  nlohmann::json record;
};

struct PendingDirectory {
  posix::UniqueFd fd;
  std::string prefix;  // "" for the root, else "a/b/"
  std::size_t depth;
};

tl::expected<Sha256::Digest, OSStatus> hashFile(int dirFd, const std::string& name,
                                                const file_access::Status& seen) {
  auto file = file_access::openFileAt(dirFd, name);
  if (!file) {
    return tl::unexpected(errSecCSBadResource);
  }
  // The entry may have been swapped between looking at it and opening it.
  const auto opened = file_access::status(file->get());
  if (!opened || opened->type != file_access::Type::regular || opened->inode != seen.inode ||
      opened->device != seen.device) {
    return tl::unexpected(errSecCSBadResource);
  }
  Sha256 hash;
  std::vector<std::uint8_t> buffer(std::size_t{64} * 1024);
  for (;;) {
    const auto n = posix::readSome(file->get(), std::as_writable_bytes(std::span(buffer)));
    if (!n) {
      return tl::unexpected(errSecCSBadResource);
    }
    if (*n == 0) {
      break;
    }
    hash.update(std::span(buffer).first(*n));
  }
  return hash.finish();
}

}  // namespace

tl::expected<std::vector<std::uint8_t>, OSStatus> BundleManifest::build(int rootFd, Limits limits) {
  std::vector<Entry> entries;
  std::size_t seen = 0;
  std::vector<PendingDirectory> pending;
  {
    // Walk a private descriptor so the caller's directory offset is left alone.
    auto root = file_access::openDirectoryAt(rootFd, ".");
    if (!root) {
      return tl::unexpected(errSecCSBadResource);
    }
    pending.push_back({std::move(*root), "", 0});
  }
  const std::string sealParent(kSealFolder.substr(0, kSealFolder.find('/') + 1));
  const std::string sealName(kSealFolder.substr(kSealFolder.find('/') + 1));
  while (!pending.empty()) {
    PendingDirectory directory = std::move(pending.back());
    pending.pop_back();
    const auto names = file_access::listDirectory(directory.fd.get(), limits.maxEntries - seen);
    if (!names) {
      return tl::unexpected(errSecCSBadResource);
    }
    for (const auto& name : *names) {
      if (directory.prefix == sealParent && name == sealName) {
        continue;
      }
      if (++seen > limits.maxEntries) {
        return tl::unexpected(errSecCSBadResource);
      }
      const std::string path = directory.prefix + name;
      const auto status = file_access::statusAt(directory.fd.get(), name);
      if (!status) {
        return tl::unexpected(errSecCSBadResource);
      }
      switch (status->type) {
        case file_access::Type::directory: {
          if (directory.depth + 1 >= limits.maxDepth) {
            return tl::unexpected(errSecCSBadResource);
          }
          auto child = file_access::openDirectoryAt(directory.fd.get(), name);
          if (!child) {
            return tl::unexpected(errSecCSBadResource);
          }
          pending.push_back({std::move(*child), path + "/", directory.depth + 1});
          break;
        }
        case file_access::Type::regular: {
          const auto digest = hashFile(directory.fd.get(), name, *status);
          if (!digest) {
            return tl::unexpected(digest.error());
          }
          entries.push_back(
              {path, nlohmann::json::array({path, "file", status->executable,
                                            nlohmann::json::binary(std::vector<std::uint8_t>(
                                                digest->begin(), digest->end()))})});
          break;
        }
        case file_access::Type::link: {
          const auto target = file_access::readLinkAt(directory.fd.get(), name);
          if (!target) {
            return tl::unexpected(errSecCSBadResource);
          }
          entries.push_back({path, nlohmann::json::array({path, "link", false, *target})});
          break;
        }
        case file_access::Type::other:
          return tl::unexpected(errSecCSBadResource);
      }
    }
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });
  nlohmann::json manifest = nlohmann::json::array();
  for (auto& entry : entries) {
    manifest.push_back(std::move(entry.record));
  }
  return nlohmann::json::to_cbor(manifest);
}

tl::expected<std::vector<std::uint8_t>, OSStatus> BundleManifest::buildForPath(
    const std::string& path, Limits limits) {
  const auto root = file_access::openDirectory(path);
  if (!root) {
    return tl::unexpected(errSecCSStaticCodeNotFound);
  }
  return build(root->get(), limits);
}

}  // namespace vantreel::platform::codesign
