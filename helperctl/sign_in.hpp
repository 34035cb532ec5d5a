#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "shared/helper_cookie_start_request.hpp"

namespace vantreel {

// The user's own sign-in: the bundle's OpenConnect runs with --authenticate as the user who ran
// the tool, answers whatever the server asks (codes, groups, any user name), and prints the
// session it got. The daemon then only ever sees that session's cookie, never a password.
class SignIn {
 public:
  struct Options {
    std::string server;  // https URL
    std::optional<std::string> user;
    std::optional<std::string> authgroup;
    std::optional<std::string> servercert;
  };

  // What a successful sign-in printed. The cookie is wiped when this goes.
  class Session {
   public:
    Session() = default;
    ~Session();
    Session(Session&& other) noexcept;
    Session& operator=(Session&&) = delete;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::string cookie;
    std::string connectURL;
    std::string fingerprint;
    std::optional<std::string> resolve;

    [[nodiscard]] HelperCookieStartRequest request() const;
  };

  // The next line of standard input; nothing once it has ended.
  using Answers = std::function<std::optional<std::string>()>;

  // --server, --user, --authgroup and --servercert of a connect.
  [[nodiscard]] static tl::expected<Options, std::string> options(
      const std::vector<std::string>& arguments);
  // OpenConnect's arguments for the sign-in.
  [[nodiscard]] static std::vector<std::string> openConnectArguments(const Options& options);
  // The OpenConnect that appBundle carries for this machine's processor.
  [[nodiscard]] static std::string bundledOpenConnect(const std::string& appBundle);
  // The session in OpenConnect's shell assignments (COOKIE='…' and so on).
  [[nodiscard]] static tl::expected<Session, std::string> parse(std::string_view printed);
  // Why a sign-in failed, in one line, from what OpenConnect wrote on standard error.
  [[nodiscard]] static std::string failure(std::string_view said, bool inputEnded, int status);
  // Whether the text written since the last line feed is a question waiting for its answer.
  [[nodiscard]] static bool isPrompt(std::string_view pending);

  // Runs the sign-in. Without answers (a terminal) OpenConnect asks the user itself: prompts,
  // secrets without echo, the group list and an unknown certificate. With answers each prompt
  // takes the next one, once; an unknown certificate is refused and a refused answer ends the
  // sign-in instead of being asked again. OpenConnect's messages go to errorFd only with a
  // terminal.
  [[nodiscard]] static tl::expected<Session, std::string> run(const std::string& program,
                                                              const Options& options,
                                                              const Answers& answers, int errorFd);
};

}  // namespace vantreel
