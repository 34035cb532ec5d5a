#include "helperctl/ctl_commands.hpp"

#include <optional>
#include <utility>

#include "helperctl/ctl_arguments.hpp"
#include "helperctl/ctl_results.hpp"
#include "helperctl/helper_ctl_client.hpp"
#include "helperctl/helper_install.hpp"
#include "platform/posix/io.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

// A daemon that ended while it answered (killed, restarted) cut the call short; the service
// manager holds the endpoint for the next one, so the question is asked once more. One that
// ended before it had welcomed the call closed it unanswered, which reads as a refusal.
bool cutShort(const CtlError& error) {
  return error.domain == HelperCtlClient::xpcErrorDomain &&
         (error.code == platform::xpc::Error::interrupted ||
          (error.code == platform::xpc::Error::invalid &&
           error.description.ends_with(": refused by the service")));
}

std::optional<std::string> answered(const tl::expected<std::string, CtlError>& version) {
  return version ? std::optional<std::string>(*version) : std::nullopt;
}

}  // namespace

CtlCommands::CtlCommands(const std::vector<std::string>& arguments, CtlStreams streams)
    : arguments_(arguments), streams_(streams) {}

std::shared_ptr<HelperCtlClient> CtlCommands::client(int errorFd) const {
  return HelperCtlClient::make(Constants::machService, {streams_.output, errorFd});
}

int CtlCommands::version() const {
  streams_.result(CtlResults::versionPayload());
  return 0;
}

int CtlCommands::status() const {
  auto asked = client(streams_.error);
  // Any error, the time-out included, means no daemon answered; the client has reported it.
  auto version = asked->getVersion();
  if (!version && cutShort(version.error())) {
    asked->invalidate();
    asked = client(streams_.error);
    version = asked->getVersion();
  }
  const auto running = answered(version);
  auto object =
      CtlResults::statusObject(HelperInstall::currentState(version.has_value(), running), running);
  asked->invalidate();
  streams_.result(object);
  return 0;
}

tl::expected<int, CtlError> CtlCommands::install() const {
  auto installed = HelperInstall::install(CtlArguments::contains(arguments_, "--replace"));
  if (!installed) {
    return tl::unexpected(std::move(installed.error()));
  }
  // Asked until it answers: the service manager reports the daemon started before it listens.
  // The failed tries are nobody's business but this wait's, so their errors go nowhere.
  auto quiet = platform::posix::openNullSink();
  if (!quiet) {
    return tl::unexpected(CtlError::passedOn(quiet.error()));
  }
  std::optional<std::string> running;
  const auto outcome = HelperInstall::awaitDaemon(*installed, [&] {
    auto asked = client(quiet->get());
    running = answered(asked->getVersion());
    asked->invalidate();
    return running;
  });
  streams_.result(CtlResults::installObject(
      CtlResults::statusObject(HelperInstall::currentState(running.has_value(), running), running),
      outcome));
  return CtlResults::installExitStatus(outcome);
}

tl::expected<int, CtlError> CtlCommands::uninstall() const {
  auto removed = HelperInstall::uninstall();
  if (!removed) {
    return tl::unexpected(std::move(removed.error()));
  }
  streams_.result(CtlResults::uninstallObject(*removed));
  return 0;
}

tl::expected<int, CtlError> CtlCommands::disconnect() const {
  auto asked = client(streams_.error);
  auto reply = asked->stop();
  if (!reply) {
    asked->invalidate();
    return tl::unexpected(std::move(reply.error()));
  }
  streams_.result(CtlResults::disconnectObject(*reply));
  asked->invalidate();
  return reply->ok() ? 0 : 1;
}

tl::expected<int, CtlError> CtlCommands::tunnel() const {
  auto asked = client(streams_.error);
  auto reply = asked->status();
  asked->invalidate();
  if (!reply) {
    return tl::unexpected(std::move(reply.error()));
  }
  streams_.result(CtlResults::tunnelObject(*reply));
  return reply->ok() ? 0 : 1;
}

}  // namespace vantreel
