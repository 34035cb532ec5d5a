#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "helper/bundle_items.hpp"
#include "helper/runner_error.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel {

// A fresh directory holding the copies one child runs from, which the bundle's owner cannot
// touch; removed with everything in it when the last owner lets go, which is the child's exit
// handling.
class VerifiedCopies {
 public:
  // The lock file inside a copy directory: held for as long as the directory is in use, so
  // that a starting daemon can tell another live daemon's copies from stale ones.
  static constexpr std::string_view lockName = ".lock";

  // Copies both items into a fresh 0700 directory below copiesDirectory and checks each copy
  // against the digest its signature or seal vouched for.
  [[nodiscard]] static tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> make(
      const BundleItems::VerifiedItem& program, const BundleItems::VerifiedItem& script,
      const std::string& copiesDirectory);
  // Copies of the items that an earlier start verified and kept in the directory kept, which
  // only root can change.
  [[nodiscard]] static tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> makeFrom(
      const std::string& kept, const std::string& copiesDirectory);

  explicit VerifiedCopies(std::string directory) : directory_(std::move(directory)) {}
  ~VerifiedCopies();
  VerifiedCopies(const VerifiedCopies&) = delete;
  VerifiedCopies& operator=(const VerifiedCopies&) = delete;

  [[nodiscard]] const std::string& directory() const { return directory_; }
  [[nodiscard]] std::string program() const { return directory_ + "/openconnect"; }
  [[nodiscard]] std::string script() const { return directory_ + "/vpnc-script"; }

 private:
  // An empty directory of copies, locked.
  [[nodiscard]] static tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> fresh(
      const std::string& copiesDirectory);
  void holdLock(platform::posix::UniqueFd lock) { lock_ = std::move(lock); }

  std::string directory_;
  platform::posix::UniqueFd lock_;  // released after the directory is gone
};

}  // namespace vantreel
