#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tl/expected.hpp>

#include "helper/runner_error.hpp"
#include "helper/runner_settings.hpp"
#include "helper/verified_copies.hpp"

namespace vantreel {

// The copies a start runs from, made from the caller's bundle after its items were verified,
// or from the verified copies an earlier start kept of the very same bundle: same real path and
// a tree whose every entry the kernel reports unchanged since (see treeFingerprint). A bundle
// whose tree cannot be told unchanged so, or that changed in any way, is verified in full; so is
// every bundle after the daemon's version changed. Kept copies live below copiesDirectory, only
// root's, a few bundles at most.
class VerifiedCopyCache {
 public:
  // Bundles whose copies are kept at once; the oldest goes first.
  static constexpr std::size_t kMaxKept = 4;
  // A tree larger than this is verified in full each time.
  static constexpr std::size_t kMaxEntries = 4096;

  explicit VerifiedCopyCache(const RunnerSettings& settings);

  [[nodiscard]] tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> copiesOf(
      const std::string& appBundle) const;

 private:
  [[nodiscard]] std::optional<std::string> keyOf(const std::string& realBundle) const;
  [[nodiscard]] tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> verifyAndCopy(
      const std::string& realBundle) const;
  void keep(const std::string& key, const VerifiedCopies& copies) const;

  const RunnerSettings& settings_;
  std::string directory_;
};

}  // namespace vantreel
