#include "helperctl/ctl_connect.hpp"

#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include "helperctl/ctl_arguments.hpp"
#include "helperctl/ctl_results.hpp"
#include "helperctl/helper_ctl_client.hpp"
#include "helperctl/sign_in.hpp"
#include "helperctl/start_sent.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/secret_wipe.hpp"
#include "platform/service/host.hpp"
#include "shared/constants.hpp"

namespace vantreel {

using platform::posix::WipedOnExit;
using platform::posix::wipeSecret;

CtlConnect::CtlConnect(const std::vector<std::string>& arguments, CtlStreams streams)
    : arguments_(arguments), streams_(streams), input_(streams.input) {}

tl::expected<int, CtlError> CtlConnect::run() {
  return CtlArguments::contains(arguments_, "--sign-in") ? withSignIn() : withPassword();
}

tl::expected<int, CtlError> CtlConnect::withPassword() {
  auto request = CtlArguments::connectRequest(arguments_);
  if (!request) {
    return tl::unexpected(std::move(request.error()));
  }
  auto password = input_.readLine(HelperCtlClient::maxPasswordBytes);
  const WipedOnExit wiped(password.text);
  if (password.tooLong) {
    return tl::unexpected(CtlError::own(HelperCtlClient::passwordTooLongCode,
                                        HelperCtlClient::passwordTooLongDescription));
  }
  if (password.text.empty()) {
    return tl::unexpected(CtlError::own(passwordErrorCode, missingPasswordDescription));
  }
  return relay(password.text, [&request](HelperCtlClient& client, std::string_view secret,
                                         const std::function<void()>& onSent) {
    return client.connect(*request, secret, onSent);
  });
}

tl::expected<int, CtlError> CtlConnect::withSignIn() {
  auto options = SignIn::options(arguments_);
  if (!options) {
    return tl::unexpected(CtlError::own(CtlArguments::errorCode, options.error()));
  }
  const auto bundle = platform::service::mainBundleLocation();
  if (!bundle) {
    return tl::unexpected(CtlError::own(1, "sign-in failed: the tool's own bundle was not found"));
  }
  SignIn::Answers answers;
  // On a terminal OpenConnect asks the user itself; otherwise each line answers one question,
  // and what follows the answers stays with the input, as for a connect.
  if (!platform::posix::isTerminal(streams_.input)) {
    answers = [this]() -> std::optional<std::string> {
      auto line = input_.readLine(HelperCtlClient::maxPasswordBytes);
      const WipedOnExit wiped(line.text);
      if (line.ended || line.tooLong) {
        return std::nullopt;
      }
      return line.text;
    };
  }
  auto session =
      SignIn::run(SignIn::bundledOpenConnect(*bundle), *options, answers, streams_.error);
  if (!session) {
    streams_.message(session.error());
    return 1;
  }
  const auto request = session->request();
  return relay(session->cookie, [&request](HelperCtlClient& client, std::string_view secret,
                                           const std::function<void()>& onSent) {
    return client.connectWithCookie(request, secret, onSent);
  });
}

tl::expected<int, CtlError> CtlConnect::relay(std::string& secret, const Starter& start) {
  auto client = HelperCtlClient::make(Constants::machService, {streams_.output, streams_.error});
  StartSent sent;
  // Plays the part of the serial queue stdinQueueLabel names.
  std::jthread watcher([this, &sent, client](const std::stop_token& stop) {
    watch(input_, sent, *client, streams_.error, stop);
  });
  auto reply = start(*client, secret, [&secret, &sent] {
    // The pipe holds it now: it need not stay here for as long as the tunnel runs.
    wipeSecret(secret);
    sent.open();
  });
  // Stopped before the connection ends, so that the watcher does not start a stop that can
  // only fail; a stop already waiting fails at once when the connection ends.
  watcher.request_stop();
  client->invalidate();
  watcher.join();
  if (!reply) {
    return tl::unexpected(std::move(reply.error()));
  }
  const auto end = CtlResults::connectEnd(*reply);
  if (end.message) {
    streams_.message(*end.message);
  }
  return end.status;
}

void CtlConnect::watch(BufferedInput& input, StartSent& sent, HelperCtlClient& client, int errorFd,
                       const std::stop_token& stop) {
  try {
    const auto next = input.skipLine(stop);
    if (next == BufferedInput::Next::stopped || !sent.wait(stop) || stop.stop_requested()) {
      return;
    }
    // A refused start leaves another caller's tunnel running: that one is not ours to stop.
    if (!client.startStillPending() || stop.stop_requested()) {
      return;
    }
    // A second line is often meant as an answer (a one-time code): say why nothing connects.
    if (next == BufferedInput::Next::line && !client.tunnelSeen()) {
      CtlStreams::writeLine(errorFd, std::string(anotherLineDescription));
    }
    (void)client.stop();
  } catch (const std::exception&) {
    // The watcher only ever asks for a stop; the connect's own result decides the exit.
  }
}

}  // namespace vantreel
