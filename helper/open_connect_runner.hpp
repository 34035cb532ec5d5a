#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "helper/output_drain.hpp"
#include "helper/runner_error.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/task.hpp"
#include "platform/service/layout.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {

// Owns the one OpenConnect child the daemon may run: starts it from verified copies of the
// programs in the caller's signed app bundle, feeds it the password, forwards its output lines
// to one replaceable log handler, tracks the tunnel state and stops the child on request.
// All operations may be called from any thread.
class OpenConnectRunner : public std::enable_shared_from_this<OpenConnectRunner> {
 public:
  using LogHandler = std::function<void(const std::string& line)>;
  using ExitCallback = std::function<void(std::int32_t status)>;

  // Where the runner's preparations read and write, and what they run. The daemon's comes from
  // the running system's service layout; tests put scratch directories and stand-ins in.
  struct Environment {
    // Holds the exported root certificates; created 0755 when missing.
    std::string exportDirectory;
    platform::service::Layout::CertificateSource certificateSource;
    // The program and arguments that delete the host route to one IPv4 address.
    std::function<std::vector<std::string>(const std::string& address)> routeCommand;
    // The IPv4 addresses of a host name, and how long the route step waits for them; empty
    // means the system resolver.
    std::function<std::vector<std::string>(const std::string& host)> hostLookup;
    std::chrono::milliseconds hostLookupBound{std::chrono::seconds(10)};
    // Each start copies the verified programs into a fresh 0700 directory below this one.
    std::string copiesDirectory;
    // How long a start waits for the password pipe to be closed or filled.
    std::chrono::milliseconds passwordDeadline{std::chrono::seconds(10)};
    // Called after the bundle was verified and before its items are copied; a test changes
    // the bundle there.
    std::function<void()> afterVerification;

    [[nodiscard]] static Environment system();
  };

  static std::shared_ptr<OpenConnectRunner> create();  // the daemon's real one
  static std::shared_ptr<OpenConnectRunner> create(Environment environment);

  // start: installs logHandler as the log handler only once the child is recorded, so a
  // refused start leaves a running tunnel's handler alone.
  [[nodiscard]] tl::expected<void, RunnerError> start(const HelperStartRequest& request,
                                                      platform::process::FileHandle& passwordPipe,
                                                      const std::string& appBundle,
                                                      ExitCallback onExit, LogHandler logHandler);
  // Returns once the child has been signalled: SIGINT, then SIGTERM after 5 s, then SIGKILL
  // after 3 s more; the exit handler, not stop, returns the runner to "idle".
  [[nodiscard]] tl::expected<void, RunnerError> stop();
  std::string currentState() const;
  std::int64_t currentPid() const;
  void setLogHandler(LogHandler handler);

  // "darwin-arm64" on a 64-bit Arm machine (uname reports arm64 or aarch64), else
  // "darwin-amd64".
  static std::string currentDarwinArch();
  // Real paths of the verified items inside appBundle.
  static tl::expected<std::string, RunnerError> resolveOpenConnect(const std::string& appBundle);
  static tl::expected<std::string, RunnerError> resolveVpncScript(const std::string& appBundle);
  static tl::expected<void, RunnerError> verifyBundled(const std::string& item,
                                                       const std::string& appBundle);
  // The path of a fresh PEM file of the system's root certificates, or nothing.
  static std::optional<std::string> exportSystemRoots();
  static std::optional<std::string> exportSystemRoots(const Environment& environment);
  static void removeStaleHostRoutes(const std::string& server);
  static void removeStaleHostRoutes(const std::string& server, const Environment& environment);

  // An item of the bundle that passed verification, with what its signature or the bundle's
  // seal vouched for: the SHA-256 of its first signedLength bytes, or of all of it.
  struct VerifiedItem {
    std::string path;  // real path
    std::array<std::uint8_t, 32> digest{};
    std::optional<std::uint64_t> signedLength;
  };

  // A fresh directory holding the copies one child runs from; removed with everything in it
  // when the last owner lets go, which is the child's exit handling.
  class VerifiedCopies {
   public:
    explicit VerifiedCopies(std::string directory) : directory_(std::move(directory)) {}
    ~VerifiedCopies();
    VerifiedCopies(const VerifiedCopies&) = delete;
    VerifiedCopies& operator=(const VerifiedCopies&) = delete;

    [[nodiscard]] const std::string& directory() const { return directory_; }
    [[nodiscard]] std::string program() const { return directory_ + "/openconnect"; }
    [[nodiscard]] std::string script() const { return directory_ + "/vpnc-script"; }

   private:
    std::string directory_;
  };

 private:
  explicit OpenConnectRunner(Environment environment) : environment_(std::move(environment)) {}

  [[nodiscard]] tl::expected<void, RunnerError> startLocked(
      const HelperStartRequest& request, platform::process::FileHandle& passwordPipe,
      const std::string& appBundle, ExitCallback& onExit, LogHandler& logHandler,
      std::shared_ptr<platform::process::Task>& failedTask);
  void forward(const std::shared_ptr<platform::process::FileHandle>& readEnd,
               std::uint64_t generation, std::shared_ptr<OutputDrain> drain);
  void emit(const std::string& line, std::uint64_t generation);
  void childExited(platform::process::Task& task, std::uint64_t generation,
                   const ExitCallback& onExit);

  static tl::expected<VerifiedItem, RunnerError> resolveOpenConnectItem(
      const std::string& appBundle);
  static tl::expected<VerifiedItem, RunnerError> resolveVpncScriptItem(
      const std::string& appBundle);
  static tl::expected<VerifiedItem, RunnerError> verifyItem(const std::string& item,
                                                            const std::string& appBundle);
  // Copies both items into a fresh directory below copiesDirectory and checks each copy
  // against the digest its signature or seal vouched for.
  static tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> makeVerifiedCopies(
      const VerifiedItem& program, const VerifiedItem& script, const std::string& copiesDirectory);

  static bool isValidUtf8(std::string_view bytes);

  const Environment environment_;

  mutable std::mutex lock_;  // guards process_, generation_, state_ and logHandler_
  std::shared_ptr<platform::process::Task> process_;
  std::uint64_t generation_ = 0;  // counts starts; tells a recorded child's lines from others
  std::string_view state_ = "idle";
  LogHandler logHandler_;
};

}  // namespace vantreel
