#include "helper/verified_copy_cache.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <random>
#include <span>
#include <system_error>
#include <vector>

#include "helper/bundle_items.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/posix/tree_fingerprint.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

namespace fs = std::filesystem;

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr std::string_view digits = "0123456789abcdef";
  std::string text;
  for (const auto byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 0xf];
  }
  return text;
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Removes the oldest kept bundles beyond kMaxKept, and unfinished entries.
void prune(const std::string& directory) {
  std::error_code error;
  std::vector<std::pair<fs::file_time_type, fs::path>> kept;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::error_code timeError;
    kept.emplace_back(it->last_write_time(timeError), it->path());
  }
  std::sort(kept.begin(), kept.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  for (std::size_t i = VerifiedCopyCache::kMaxKept; i < kept.size(); ++i) {
    fs::remove_all(kept[i].second, error);
  }
}

}  // namespace

VerifiedCopyCache::VerifiedCopyCache(const RunnerSettings& settings)
    : settings_(settings), directory_(settings.copiesDirectory + "/verified") {}

tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> VerifiedCopyCache::copiesOf(
    const std::string& appBundle) const {
  const auto realBundle = platform::codesign::file_access::realPath(appBundle);
  if (!realBundle) {
    return verifyAndCopy(appBundle);
  }
  const auto key = keyOf(*realBundle);
  if (key && fs::is_directory(directory_ + "/" + *key)) {
    if (auto kept = VerifiedCopies::makeFrom(directory_ + "/" + *key, settings_.copiesDirectory)) {
      return kept;
    }
  }
  auto made = verifyAndCopy(*realBundle);
  // Kept only when nothing in the bundle changed while it was verified and copied.
  if (made && key && keyOf(*realBundle) == key) {
    keep(*key, **made);
  }
  return made;
}

std::optional<std::string> VerifiedCopyCache::keyOf(const std::string& realBundle) const {
  if (settings_.copiesDirectory.empty()) {
    return std::nullopt;
  }
  const auto tree =
      platform::posix::treeFingerprint(realBundle, kMaxEntries, settings_.unchangedSince);
  if (!tree) {
    return std::nullopt;
  }
  // What else a verification depends on: whose signature it asks for and the daemon's own code.
  platform::codesign::Sha256 key;
  for (const std::string& part : {std::string("verified copies 1"), Constants::teamID(),
                                  Constants::helperVersion(), realBundle, *tree}) {
    key.update(bytesOf(part));
    key.update(bytesOf(std::string(1, '\0')));
  }
  return hex(key.finish());
}

tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> VerifiedCopyCache::verifyAndCopy(
    const std::string& realBundle) const {
  const auto program = BundleItems::openConnect(realBundle);
  if (!program) {
    return tl::unexpected(program.error());
  }
  const auto script = BundleItems::vpncScript(realBundle);
  if (!script) {
    return tl::unexpected(script.error());
  }
  if (settings_.afterVerification) {
    settings_.afterVerification();
  }
  // What runs as root from here on is the copy, which the bundle's owner cannot touch.
  return VerifiedCopies::make(*program, *script, settings_.copiesDirectory);
}

void VerifiedCopyCache::keep(const std::string& key, const VerifiedCopies& copies) const {
  std::error_code error;
  if (fs::create_directory(directory_, error)) {
    fs::permissions(directory_, fs::perms::owner_all, fs::perm_options::replace, error);
  }
  // Filled under a name of its own, then renamed: an entry is whole or absent.
  const std::string unfinished =
      directory_ + "/." + key + "." + std::to_string(std::random_device()());
  if (!fs::create_directory(unfinished, error)) {
    return;
  }
  fs::permissions(unfinished, fs::perms::owner_all, fs::perm_options::replace, error);
  fs::copy_file(copies.program(), unfinished + "/openconnect", error);
  if (!error) {
    fs::copy_file(copies.script(), unfinished + "/vpnc-script", error);
  }
  if (!error) {
    fs::rename(unfinished, directory_ + "/" + key, error);
  }
  if (error) {
    fs::remove_all(unfinished, error);
    return;
  }
  prune(directory_);
}

}  // namespace vantreel
