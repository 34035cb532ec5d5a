#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/process/file_handle.hpp"
#include "platform/xpc/interface.hpp"
#include "platform/xpc/protocol_description.hpp"
#include "shared/helper_cookie_start_request.hpp"
#include "shared/helper_op_result.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {

// What the daemon exports on every admitted connection and what clients call. Each operation
// ends in a reply that the receiver calls exactly once, possibly later and from another thread.
class HelperXPCProtocol {
 public:
  using VersionReply = std::function<void(std::string version)>;
  using ResultReply = std::function<void(HelperOpResult result)>;

  static constexpr const char* getVersionSelector = "getVersionWithReply:";
  static constexpr const char* startSelector = "start:passwordPipe:withReply:";
  static constexpr const char* stopSelector = "stopWithReply:";
  static constexpr const char* statusSelector = "statusWithReply:";
  static constexpr const char* cookieStartSelector = "startWithCookie:cookiePipe:withReply:";

  virtual ~HelperXPCProtocol() = default;

  virtual void getVersionWithReply(VersionReply reply) = 0;
  // passwordPipe is the read end of a pipe the caller has written the password into.
  virtual void start(HelperStartRequest request,
                     std::shared_ptr<platform::process::FileHandle> passwordPipe,
                     ResultReply reply) = 0;
  virtual void stopWithReply(ResultReply reply) = 0;
  virtual void statusWithReply(ResultReply reply) = 0;
  // A start for a session the user signed in to without the daemon: cookiePipe is the read end
  // of a pipe the caller has written the session cookie into, as a password start's password.
  virtual void startWithCookie(HelperCookieStartRequest request,
                               std::shared_ptr<platform::process::FileHandle> cookiePipe,
                               ResultReply reply) = 0;

  // The selectors in their declared order, with the classes their declarations name.
  static platform::xpc::ProtocolDescription protocolDescription();
  // The interface both sides build: the protocol, with exactly {VTHelperStartRequest} admitted
  // for the start's request and {VTHelperCookieStartRequest} for the cookie start's.
  static platform::xpc::Interface makeInterface();
};

}  // namespace vantreel
