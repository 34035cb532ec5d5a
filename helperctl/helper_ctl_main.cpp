#include "helperctl/helper_ctl_main.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <stop_token>
#include <thread>
#include <utility>

#include "helperctl/helper_ctl_client.hpp"
#include "helperctl/helper_install.hpp"
#include "helperctl/install_method.hpp"
#include "helperctl/sign_in.hpp"
#include "platform/posix/io.hpp"
#include "platform/service/host.hpp"
#include "shared/argument_validation.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

using namespace std::chrono_literals;

// How often the standard-input watcher looks whether its connect has ended meanwhile.
constexpr auto watcherWakeUp = 200ms;

CtlError ownError(std::int64_t code, std::string_view description) {
  return CtlError{std::string(Constants::helperCtlBundleID), code, std::string(description)};
}

void writeText(int fd, std::string text) {
  text.push_back('\n');
  // A reader that has gone away leaves nobody to tell.
  (void)platform::posix::writeAll(fd, std::as_bytes(std::span(text.data(), text.size())));
}

void scrub(std::string& secret) {
  // Through a volatile pointer, so that the stores are not dropped as dead.
  volatile char* bytes = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) {
    bytes[i] = '\0';
  }
  secret.clear();
}

bool contains(const std::vector<std::string>& arguments, std::string_view option) {
  return std::find(arguments.begin(), arguments.end(), option) != arguments.end();
}

// Standard input for a connect. The password line and the watcher's line are read through the
// same buffer, so the watcher sees exactly what follows the password, even when both came in
// one read.
class BufferedInput {
 public:
  struct Line {
    std::string text;
    bool tooLong = false;
    bool ended = false;  // no line: the input had ended
  };
  enum class Next { line, ended, stopped };

  explicit BufferedInput(int fd) : fd_(fd) {}
  BufferedInput(const BufferedInput&) = delete;
  BufferedInput& operator=(const BufferedInput&) = delete;
  ~BufferedInput() { scrub(buffer_); }

  // The next line without its "\n" or "\r\n"; the end of input (or a read error) ends it too.
  // Stops reading once the line is known to hold more than limit bytes.
  Line readLine(std::size_t limit) {
    for (;;) {
      if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
        Line line{buffer_.substr(0, newline), false};
        buffer_.erase(0, newline + 1);
        if (!line.text.empty() && line.text.back() == '\r') {
          line.text.pop_back();
        }
        return checked(std::move(line), limit);
      }
      // One byte more than the limit may still be the "\r" of a "\r\n".
      if (buffer_.size() > limit + 1) {
        scrub(buffer_);
        return Line{{}, true};
      }
      if (!fill()) {
        Line line{std::move(buffer_), false, buffer_.empty()};
        buffer_.clear();
        return checked(std::move(line), limit);
      }
    }
  }

  // Waits for one more line or the end of input, discarding what it reads.
  Next skipLine(const std::stop_token& stop) {
    for (;;) {
      if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
        buffer_.erase(0, newline + 1);
        return Next::line;
      }
      scrub(buffer_);
      if (stop.stop_requested()) {
        return Next::stopped;
      }
      auto readable = platform::posix::waitReadable(fd_, watcherWakeUp);
      if (!readable) {
        return Next::ended;
      }
      if (*readable && !fill()) {
        return Next::ended;
      }
    }
  }

 private:
  static Line checked(Line line, std::size_t limit) {
    if (line.text.size() > limit) {
      scrub(line.text);
      return Line{{}, true};
    }
    return line;
  }

  // Appends one read's worth; false at end of input or on a read error.
  bool fill() {
    std::array<std::byte, 4096> chunk{};
    auto got = platform::posix::readSome(fd_, chunk);
    if (!got || *got == 0) {
      return false;
    }
    buffer_.append(reinterpret_cast<const char*>(chunk.data()), *got);
    std::fill(chunk.begin(), chunk.end(), std::byte{0});
    return true;
  }

  int fd_;
  std::string buffer_;
};

// Opened once the start has been handed to the connection. The watcher's stop waits for it,
// so that the daemon never sees a stop before the start it is meant to end.
class StartSent {
 public:
  void open() {
    {
      std::scoped_lock lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // False when stop was requested first.
  bool wait(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    return changed_.wait(lock, stop, [this] { return open_; });
  }

 private:
  std::mutex mutex_;  // guards open_
  std::condition_variable_any changed_;
  bool open_ = false;
};

}  // namespace

HelperCtlMain::HelperCtlMain(std::vector<std::string> arguments)
    : HelperCtlMain(std::move(arguments), Streams{}) {}

HelperCtlMain::HelperCtlMain(std::vector<std::string> arguments, Streams streams)
    : arguments_(std::move(arguments)), streams_(streams) {}

std::string HelperCtlMain::commandWord(const std::vector<std::string>& arguments) {
  const auto found = std::find_if(
      arguments.begin(), arguments.end(),
      [](const std::string& argument) { return !std::string_view(argument).starts_with("-"); });
  return found == arguments.end() ? std::string("status") : *found;
}

std::optional<std::string> HelperCtlMain::value(std::string_view option,
                                                const std::vector<std::string>& arguments) {
  const auto found = std::find(arguments.begin(), arguments.end(), option);
  if (found == arguments.end() || std::next(found) == arguments.end()) {
    return std::nullopt;
  }
  return *std::next(found);
}

tl::expected<HelperStartRequest, CtlError> HelperCtlMain::connectRequest(
    const std::vector<std::string>& arguments) {
  const auto server = value("--server", arguments);
  const auto username = value("--user", arguments);
  const auto servercert = value("--servercert", arguments);
  if (!server || !username) {
    return tl::unexpected(ownError(argumentErrorCode, missingArgumentsDescription));
  }
  auto validated = ArgumentValidation::validate(
      *server, *username, servercert ? std::optional<std::string_view>(*servercert) : std::nullopt);
  if (!validated) {
    return tl::unexpected(ownError(argumentErrorCode, validated.error().message));
  }
  return HelperStartRequest(std::move(validated->server), std::move(validated->username),
                            std::move(validated->servercert));
}

HelperCtlMain::ConnectEnd HelperCtlMain::connectEnd(const HelperOpResult& reply) {
  // An exit status keeps only its low 8 bits: a code outside 0...255 would otherwise be able to
  // end as 0, a failure reported as success.
  const bool fits = reply.code() >= 0 && reply.code() <= 255;
  if (reply.ok()) {
    return ConnectEnd{fits ? static_cast<int>(reply.code()) : 1, std::nullopt};
  }
  // A refused start never ends as success, whatever code came with it.
  const int status = fits && reply.code() != 0 ? static_cast<int>(reply.code()) : 1;
  return ConnectEnd{status, reply.message().empty() ? "connect failed" : reply.message()};
}

nlohmann::json HelperCtlMain::versionPayload() {
  return nlohmann::json{{"state", "ready"},
                        {"version", Constants::helperVersion()},
                        {"bundledVersion", Constants::helperVersion()}};
}

nlohmann::json HelperCtlMain::statusObject(const InstallStatus& installation,
                                           const std::optional<std::string>& version) {
  return nlohmann::json{{"state", installation.state},
                        {"method", std::string(rawValue(installation.method))},
                        {"detail", installation.detail},
                        {"version", version.value_or("")},
                        {"bundledVersion", Constants::helperVersion()}};
}

nlohmann::json HelperCtlMain::installObject(nlohmann::json report,
                                            const InstallStatus& installation) {
  report["detail"] = installation.detail;
  report["method"] = std::string(rawValue(installation.method));
  if (report.value("state", "") == "not_installed") {
    report["state"] = installation.state;
  }
  return report;
}

nlohmann::json HelperCtlMain::uninstallObject(const InstallStatus& removal) {
  return nlohmann::json{{"state", removal.state},
                        {"method", std::string(rawValue(removal.method))},
                        {"detail", removal.detail},
                        {"bundledVersion", Constants::helperVersion()}};
}

nlohmann::json HelperCtlMain::disconnectObject(const HelperOpResult& reply) {
  return nlohmann::json{{"state", reply.state()},
                        {"ok", reply.ok()},
                        {"detail", reply.message()},
                        {"version", reply.version()}};
}

nlohmann::json HelperCtlMain::tunnelObject(const HelperOpResult& reply) {
  return nlohmann::json{{"ok", reply.ok()},
                        {"state", reply.state()},
                        {"pid", std::to_string(reply.pid())},
                        {"detail", reply.message()},
                        {"version", reply.version()}};
}

nlohmann::json HelperCtlMain::failureObject(const CtlError& error) {
  return nlohmann::json{{"state", "unavailable"},
                        {"detail", error.description},
                        {"bundledVersion", Constants::helperVersion()}};
}

std::string HelperCtlMain::render(const nlohmann::json& object, bool json) {
  if (json) {
    try {
      return object.dump();
    } catch (const nlohmann::json::exception&) {
      // Text that is not UTF-8 has no JSON form: fall back to the state alone.
    }
  }
  if (object.is_object()) {
    if (const auto state = object.find("state"); state != object.end() && state->is_string()) {
      return state->get<std::string>();
    }
  }
  return {};
}

int HelperCtlMain::main() {
  try {
    auto outcome = run(commandWord(arguments_));
    if (!outcome) {
      write(failureObject(outcome.error()));
      return 1;
    }
    return *outcome;
  } catch (const std::exception& error) {
    write(failureObject(ownError(1, error.what())));
    return 1;
  }
}

tl::expected<int, CtlError> HelperCtlMain::run(const std::string& command) {
  if (command == "version") {
    write(versionPayload());
    return 0;
  }
  if (command == "status") {
    write(statusPayload());
    return 0;
  }
  if (command == "install") {
    return install();
  }
  if (command == "uninstall") {
    return uninstall();
  }
  if (command == "connect") {
    return connect();
  }
  if (command == "disconnect" || command == "stop") {
    return disconnect();
  }
  // Like "stop", left out of the usage text, whose wording is fixed.
  if (command == "tunnel") {
    return tunnel();
  }
  message(usageText);
  return usageStatus;
}

nlohmann::json HelperCtlMain::statusPayload() {
  auto client = HelperCtlClient::make(Constants::machService, {streams_.output, streams_.error});
  // Any error, the time-out included, means no daemon answered; the client has reported it.
  auto version = client->getVersion();
  // A daemon that ended while it answered (killed, restarted) cut the call short; the service
  // manager holds the endpoint for the next one, so the question is asked once more.
  // One that ended before it had welcomed the call closed it unanswered, which reads as a
  // refusal.
  const auto cutShort = [](const CtlError& error) {
    return error.domain == HelperCtlClient::xpcErrorDomain &&
           (error.code == platform::xpc::Error::interrupted ||
            (error.code == platform::xpc::Error::invalid &&
             error.description.ends_with(": refused by the service")));
  };
  if (!version && cutShort(version.error())) {
    client->invalidate();
    client = HelperCtlClient::make(Constants::machService, {streams_.output, streams_.error});
    version = client->getVersion();
  }
  const std::optional<std::string> running =
      version ? std::optional<std::string>(*version) : std::nullopt;
  auto object = statusObject(HelperInstall::currentState(version.has_value(), running), running);
  client->invalidate();
  return object;
}

tl::expected<int, CtlError> HelperCtlMain::install() {
  auto installed = HelperInstall::install(contains(arguments_, "--replace"));
  if (!installed) {
    return tl::unexpected(std::move(installed.error()));
  }
  // Asked until it answers: the service manager reports the daemon started before it listens.
  // The failed tries are nobody's business but this wait's, so their errors go nowhere.
  auto quiet = platform::posix::openNullSink();
  if (!quiet) {
    return tl::unexpected(
        CtlError{std::string(posixErrorDomain), quiet.error().code, quiet.error().description()});
  }
  std::optional<std::string> running;
  const auto outcome = HelperInstall::awaitDaemon(*installed, [&] {
    auto client = HelperCtlClient::make(Constants::machService, {streams_.output, quiet->get()});
    auto version = client->getVersion();
    client->invalidate();
    running = version ? std::optional<std::string>(*version) : std::nullopt;
    return running;
  });
  write(installObject(
      statusObject(HelperInstall::currentState(running.has_value(), running), running), outcome));
  return installExitStatus(outcome);
}

int HelperCtlMain::installExitStatus(const InstallStatus& outcome) {
  return outcome.state == "not_installed" ? 1 : 0;
}

tl::expected<int, CtlError> HelperCtlMain::uninstall() {
  auto removed = HelperInstall::uninstall();
  if (!removed) {
    return tl::unexpected(std::move(removed.error()));
  }
  write(uninstallObject(*removed));
  return 0;
}

tl::expected<int, CtlError> HelperCtlMain::disconnect() {
  auto client = HelperCtlClient::make(Constants::machService, {streams_.output, streams_.error});
  auto reply = client->stop();
  if (!reply) {
    client->invalidate();
    return tl::unexpected(std::move(reply.error()));
  }
  write(disconnectObject(*reply));
  client->invalidate();
  return reply->ok() ? 0 : 1;
}

tl::expected<int, CtlError> HelperCtlMain::tunnel() {
  auto client = HelperCtlClient::make(Constants::machService, {streams_.output, streams_.error});
  auto reply = client->status();
  client->invalidate();
  if (!reply) {
    return tl::unexpected(std::move(reply.error()));
  }
  write(tunnelObject(*reply));
  return reply->ok() ? 0 : 1;
}

tl::expected<int, CtlError> HelperCtlMain::connect() {
  if (contains(arguments_, "--sign-in")) {
    return signInAndConnect();
  }
  auto request = connectRequest(arguments_);
  if (!request) {
    return tl::unexpected(std::move(request.error()));
  }
  BufferedInput input(streams_.input);
  auto password = input.readLine(HelperCtlClient::maxPasswordBytes);
  if (password.tooLong) {
    return tl::unexpected(ownError(HelperCtlClient::passwordTooLongCode,
                                   HelperCtlClient::passwordTooLongDescription));
  }
  if (password.text.empty()) {
    return tl::unexpected(ownError(passwordErrorCode, missingPasswordDescription));
  }

  return relay(input, [&](HelperCtlClient& client, const std::function<void()>& onSent) {
    auto reply = client.connect(*request, password.text, onSent);
    scrub(password.text);
    return reply;
  });
}

tl::expected<int, CtlError> HelperCtlMain::signInAndConnect() {
  auto options = SignIn::options(arguments_);
  if (!options) {
    return tl::unexpected(ownError(argumentErrorCode, options.error()));
  }
  const auto bundle = platform::service::mainBundleLocation();
  if (!bundle) {
    return tl::unexpected(ownError(1, "sign-in failed: the tool's own bundle was not found"));
  }
  BufferedInput input(streams_.input);
  SignIn::Answers answers;
  // On a terminal OpenConnect asks the user itself; otherwise each line answers one question,
  // and what follows the answers stays with the input, as for a connect.
  if (!platform::posix::isTerminal(streams_.input)) {
    answers = [&input]() -> std::optional<std::string> {
      auto line = input.readLine(HelperCtlClient::maxPasswordBytes);
      if (line.ended || line.tooLong) {
        return std::nullopt;
      }
      return std::move(line.text);
    };
  }
  auto session =
      SignIn::run(SignIn::bundledOpenConnect(*bundle), *options, answers, streams_.error);
  if (!session) {
    message(session.error());
    return 1;
  }
  const auto request = session->request();
  return relay(input, [&](HelperCtlClient& client, const std::function<void()>& onSent) {
    return client.connectWithCookie(request, session->cookie, onSent);
  });
}

template <class Input>
tl::expected<int, CtlError> HelperCtlMain::relay(Input& input, const Starter& start) {
  auto client = HelperCtlClient::make(Constants::machService, {streams_.output, streams_.error});
  StartSent sent;
  const int errorFd = streams_.error;
  // Plays the part of the serial queue stdinQueueLabel names: one more line, or the end of
  // standard input, stops the tunnel.
  std::jthread watcher([&input, &sent, client, errorFd](const std::stop_token& stop) {
    try {
      const auto next = input.skipLine(stop);
      if (next == Input::Next::stopped || !sent.wait(stop) || stop.stop_requested()) {
        return;
      }
      // A refused start leaves another caller's tunnel running: that one is not ours to stop.
      if (!client->startStillPending() || stop.stop_requested()) {
        return;
      }
      // A second line is often meant as an answer (a one-time code): say why nothing connects.
      if (next == Input::Next::line && !client->tunnelSeen()) {
        writeText(errorFd, std::string(anotherLineDescription));
      }
      (void)client->stop();
    } catch (const std::exception&) {
      // The watcher only ever asks for a stop; the connect's own result decides the exit.
    }
  });

  auto reply = start(*client, [&sent] { sent.open(); });
  // Stopped before the connection ends, so that the watcher does not start a stop that can
  // only fail; a stop already waiting fails at once when the connection ends.
  watcher.request_stop();
  client->invalidate();
  watcher.join();
  if (!reply) {
    return tl::unexpected(std::move(reply.error()));
  }
  const auto end = connectEnd(*reply);
  if (end.message) {
    message(*end.message);
  }
  return end.status;
}

void HelperCtlMain::write(const nlohmann::json& object) const {
  writeText(streams_.output, render(object, json_));
}

void HelperCtlMain::message(std::string_view text) const {
  writeText(streams_.error, std::string(text));
}

}  // namespace vantreel
