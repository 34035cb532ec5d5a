#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "helperctl/ctl_error.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/error.hpp"
#include "shared/constants.hpp"
#include "shared/helper_cookie_start_request.hpp"
#include "shared/helper_op_result.hpp"
#include "shared/helper_start_request.hpp"
#include "shared/helper_xpc_proxy.hpp"

namespace vantreel {

// The control tool's one channel to the daemon: a privileged connection to its service, on
// which each operation becomes a blocking call with its own time-out. OpenConnect's lines that
// the daemon streams back are written to standard output as they come.
//
// Operations may run on two threads at once (a connect waiting while a stop goes out); each
// call has its own wait and result. A reply with ok false is a value, not an error.
class HelperCtlClient final {
  struct Passkey {};

 public:
  // Where the client writes; the descriptors stay the caller's.
  struct Streams {
    int output = 1;
    int error = 2;
  };

  static constexpr std::chrono::seconds versionTimeout{3};
  static constexpr std::chrono::seconds statusTimeout{15};
  // The daemon answers a stop once nothing of the tunnel is left: its signals (8 s), its
  // output's drain and the replayed disconnect (up to 90 s for a server of many routes).
  static constexpr std::chrono::seconds stopTimeout{120};
  static constexpr std::chrono::seconds connectTimeout{86400};

  static constexpr std::int64_t timedOutCode = 2;
  static constexpr std::string_view timedOutDescription = "XPC call timed out";
  // The domain under which the transport's own errors are passed on.
  static constexpr std::string_view xpcErrorDomain = "NSCocoaErrorDomain";

  // The daemon reads at most one line of 8192 bytes from the password pipe, and the whole
  // line must fit into the pipe before the request leaves: longer passwords are refused.
  static constexpr std::size_t maxPasswordBytes = 8191;
  static constexpr std::int64_t passwordTooLongCode = 65;
  static constexpr std::string_view passwordTooLongDescription =
      "password too long (at most 8191 bytes)";

  // Never fails: an absent or refusing daemon shows as the error of the first operation.
  [[nodiscard]] static std::shared_ptr<HelperCtlClient> make(
      std::string_view machService = Constants::machService);
  [[nodiscard]] static std::shared_ptr<HelperCtlClient> make(std::string_view machService,
                                                             Streams streams);

  HelperCtlClient(Passkey, std::string_view machService, Streams streams);
  HelperCtlClient(const HelperCtlClient&) = delete;
  HelperCtlClient& operator=(const HelperCtlClient&) = delete;
  // Invalidates the connection, so that its thread ends.
  ~HelperCtlClient();

  [[nodiscard]] tl::expected<std::string, CtlError> getVersion();
  [[nodiscard]] tl::expected<HelperOpResult, CtlError> status();
  [[nodiscard]] tl::expected<HelperOpResult, CtlError> stop();
  // Writes password and a line feed into a pipe and closes its write end, then sends the start
  // with the pipe's read end; returns when the daemon answers the start, which it does once
  // OpenConnect has ended. onSent runs on the calling thread as soon as the start has been
  // handed to the connection (not when there is an error before that): calls made after it on
  // this client reach the daemon after the start.
  [[nodiscard]] tl::expected<HelperOpResult, CtlError> connect(
      const HelperStartRequest& request, std::string_view password,
      const std::function<void()>& onSent = {});
  // As connect, for a session the user signed in to: the cookie goes through the pipe.
  [[nodiscard]] tl::expected<HelperOpResult, CtlError> connectWithCookie(
      const HelperCookieStartRequest& request, std::string_view cookie,
      const std::function<void()>& onSent = {});

  // Whether the start sent by connect is still unanswered once the daemon has handled it: a
  // version call on the same connection is answered only after the daemon dealt with the
  // start, and after the start's own reply when it refused the start. False when the start
  // was answered, or the connection failed. Reports no error of its own.
  [[nodiscard]] bool startStillPending();

  // Ends the connection; calls still waiting fail at once, and say nothing of it, since the
  // end is ours. No operation follows it.
  void invalidate();

  // One line from the daemon: written with a line feed in one write to standard output.
  void appendLog(const std::string& line);
  // Whether a line from the daemon has named the tunnel's interface: the tunnel came up.
  [[nodiscard]] bool tunnelSeen() const;

 private:
  template <class T>
  using Body = std::function<void(HelperXPCProxy& proxy,
                                  std::function<void(tl::expected<T, CtlError>)> complete)>;

  void setUp(const std::shared_ptr<HelperCtlClient>& self);
  // Writes secret and a line feed into a pipe, then sends the start that send makes with the
  // pipe's read end, and waits for its answer.
  using StartSender =
      std::function<void(HelperXPCProxy& proxy, std::shared_ptr<platform::process::FileHandle> pipe,
                         HelperXPCProtocol::ResultReply reply)>;
  [[nodiscard]] tl::expected<HelperOpResult, CtlError> startWithSecret(
      std::string_view secret, const StartSender& send, const std::function<void()>& onSent);
  // Sends through a fresh proxy and waits until its reply, its error or the time-out.
  // A connection error is written to standard error, also after the call has timed out,
  // unless quiet or the client ended the connection itself (that end is no failure).
  template <class T>
  [[nodiscard]] tl::expected<T, CtlError> sync(std::chrono::seconds timeout, const Body<T>& body,
                                               const std::function<void()>& onSent = {},
                                               bool quiet = false);

  const Streams streams_;
  const std::shared_ptr<platform::xpc::Connection> connection;
  // Shared with the handlers, which may run after the client is gone.
  const std::shared_ptr<std::atomic<bool>> invalidated_ = std::make_shared<std::atomic<bool>>();
  const std::shared_ptr<std::atomic<bool>> startAnswered_ = std::make_shared<std::atomic<bool>>();
  const std::shared_ptr<std::atomic<bool>> tunnelSeen_ = std::make_shared<std::atomic<bool>>();
};

}  // namespace vantreel
