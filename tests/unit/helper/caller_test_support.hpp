#pragma once

// Test support for code that validates callers: a code-signing seam whose calls can be made to
// fail one by one, and real server-side connections whose peer is this test process.

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/os_status.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/listener_delegate.hpp"

namespace vantreel::testing {

namespace cs = platform::codesign;

// Passes every call to the real implementation unless a test scripted its outcome. A scripted
// path stands for the running code's location; a scripted validity of 0 vouches for the peer.
// NOLINTBEGIN(readability-identifier-naming)
class ScriptedCodeSigning final : public cs::CodeSigning {
 public:
  std::optional<cs::OSStatus> guestStatus;  // 0: success without an object
  std::optional<cs::OSStatus> requirementStatus;
  std::optional<cs::OSStatus> validityStatus;
  std::optional<cs::OSStatus> staticCodeStatus;
  std::optional<cs::OSStatus> pathStatus;
  std::optional<std::string> path;

  void reset() {
    guestStatus.reset();
    requirementStatus.reset();
    validityStatus.reset();
    staticCodeStatus.reset();
    pathStatus.reset();
    path.reset();
  }

  tl::expected<std::shared_ptr<cs::SecCode>, cs::OSStatus> SecCodeCopyGuestWithAttributes(
      std::span<const std::byte> auditToken, cs::SecCSFlags flags) override {
    if (guestStatus) {
      if (*guestStatus == 0) {
        return std::shared_ptr<cs::SecCode>();
      }
      return tl::unexpected(*guestStatus);
    }
    return real_.SecCodeCopyGuestWithAttributes(auditToken, flags);
  }
  tl::expected<std::shared_ptr<cs::SecRequirement>, cs::OSStatus> SecRequirementCreateWithString(
      std::string_view text, cs::SecCSFlags flags) override {
    if (requirementStatus) {
      return tl::unexpected(*requirementStatus);
    }
    return real_.SecRequirementCreateWithString(text, flags);
  }
  cs::OSStatus SecCodeCheckValidity(const std::shared_ptr<cs::SecCode>& code, cs::SecCSFlags flags,
                                    const std::shared_ptr<cs::SecRequirement>& req) override {
    if (validityStatus) {
      return *validityStatus;
    }
    return real_.SecCodeCheckValidity(code, flags, req);
  }
  tl::expected<std::shared_ptr<cs::SecStaticCode>, cs::OSStatus> SecCodeCopyStaticCode(
      const std::shared_ptr<cs::SecCode>& code, cs::SecCSFlags flags) override {
    if (staticCodeStatus) {
      return tl::unexpected(*staticCodeStatus);
    }
    if (path) {
      return std::make_shared<cs::SecStaticCode>(
          cs::SecStaticCode::Kind::file, *path,
          std::make_shared<const platform::posix::UniqueFd>());
    }
    return real_.SecCodeCopyStaticCode(code, flags);
  }
  tl::expected<std::string, cs::OSStatus> SecCodeCopyPath(
      const std::shared_ptr<cs::SecStaticCode>& staticCode, cs::SecCSFlags flags) override {
    if (pathStatus) {
      return tl::unexpected(*pathStatus);
    }
    return real_.SecCodeCopyPath(staticCode, flags);
  }
  tl::expected<std::shared_ptr<cs::SecStaticCode>, cs::OSStatus> SecStaticCodeCreateWithPath(
      const std::string& location, cs::SecCSFlags flags) override {
    return real_.SecStaticCodeCreateWithPath(location, flags);
  }
  cs::OSStatus SecStaticCodeCheckValidity(const std::shared_ptr<cs::SecStaticCode>& staticCode,
                                          cs::SecCSFlags flags,
                                          const std::shared_ptr<cs::SecRequirement>& req) override {
    return real_.SecStaticCodeCheckValidity(staticCode, flags, req);
  }
  tl::expected<cs::VerifiedSignature, cs::OSStatus> SecCodeCopySigningInformation(
      const std::shared_ptr<cs::SecStaticCode>& staticCode, cs::SecCSFlags flags) override {
    return real_.SecCodeCopySigningInformation(staticCode, flags);
  }

 private:
  cs::CodeSigning& real_ = cs::CodeSigning::real();
};
// NOLINTEND(readability-identifier-naming)

// A scratch service directory for one test, named after it.
class ScratchServiceDir {
 public:
  explicit ScratchServiceDir(const std::string& name)
      : path_(std::filesystem::temp_directory_path() /
              ("vt-" + name + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    ::setenv("VANTREEL_SERVICE_DIR", path_.c_str(), 1);
  }
  ~ScratchServiceDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchServiceDir(const ScratchServiceDir&) = delete;
  ScratchServiceDir& operator=(const ScratchServiceDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Keeps the server side of every connection it is offered and refuses them all, so a test
// gets connections whose peer, as the kernel reports it, is this very process.
class KeepingDelegate final : public platform::xpc::ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(platform::xpc::Listener& /*listener*/,
                                 std::shared_ptr<platform::xpc::Connection> connection) override {
    std::scoped_lock lock(mutex_);
    kept_.push_back(std::move(connection));
    changed_.notify_all();
    return false;
  }
  std::shared_ptr<platform::xpc::Connection> waitForOne() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !kept_.empty(); });
    return kept_.empty() ? nullptr : kept_.front();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<platform::xpc::Connection>> kept_;
};

}  // namespace vantreel::testing
