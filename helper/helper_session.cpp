#include "helper/helper_session.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <utility>
#include <variant>

#include "helper/caller_validation.hpp"
#include "helper/helper_log.hpp"
#include "helper/open_connect_line.hpp"
#include "helper/runner_error.hpp"
#include "platform/posix/check.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_proxy.hpp"
#include "shared/helper_op_result.hpp"

namespace vantreel {
namespace {

HelperOpResult failure(const std::string& message, std::string state, std::int64_t pid) {
  return HelperOpResult(false, 1, message, std::move(state), Constants::helperVersion(), pid);
}

// Who holds the start under way, and since when: every other start is refused meanwhile.
std::string startDetail(const OpenConnectRunner& runner) {
  const auto start = runner.startUnderWay();
  if (!start) {
    return {};
  }
  std::string whose = "a start";
  // Every start's owner is the connection that asked for it (see startWithReply).
  if (const auto owner =
          std::static_pointer_cast<const platform::xpc::Connection>(start->owner.lock())) {
    if (const auto token = owner->auditToken()) {
      whose += " by uid " + std::to_string(token->uid());
    }
  }
  const std::time_t since = std::chrono::system_clock::to_time_t(start->since);
  std::tm utc{};
  std::array<char, 32> text{};
  if (::gmtime_r(&since, &utc) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
    return whose + " is under way";
  }
  return whose + " is under way since " + text.data();
}

}  // namespace

HelperSession::HelperSession(std::shared_ptr<platform::xpc::Connection> sessionConnection,
                             HelperService& service, platform::codesign::CodeSigning& security)
    : connection(std::move(sessionConnection)), service_(service), security_(security) {
  VT_CHECK(connection != nullptr);
}

void HelperSession::getVersionWithReply(VersionReply reply) { reply(Constants::helperVersion()); }

OpenConnectRunner::LogHandler HelperSession::logHandlerForClient() const {
  std::weak_ptr<platform::xpc::Connection> client = connection;
  return [client](const std::string& line) {
    if (auto alive = client.lock()) {
      HelperClientProxy(alive->remoteObjectProxy()).appendLog(line);
    }
  };
}

void HelperSession::start(HelperStartRequest request,
                          std::shared_ptr<platform::process::FileHandle> passwordPipe,
                          ResultReply reply) {
  const auto server = request.server();
  startTunnel(std::move(request), server, passwordPipe, reply);
}

void HelperSession::startWithCookie(HelperCookieStartRequest request,
                                    std::shared_ptr<platform::process::FileHandle> cookiePipe,
                                    ResultReply reply) {
  const auto server = request.connectURL();
  startTunnel(std::move(request), server, cookiePipe, reply);
}

void HelperSession::startTunnel(const OpenConnectRunner::StartRequest& request,
                                const std::string& server,
                                const std::shared_ptr<platform::process::FileHandle>& secretPipe,
                                const ResultReply& reply) {
  const auto& runner = service_.runner;
  const CallsInProgress::Scope inProgress(service_.calls);
  auto appBundle = CallerValidation::verify(*connection, security_);
  if (!appBundle) {
    const auto text = appBundle.error().errorDescription();
    HelperLog::error("rejected start: " + text);
    reply(failure(text, runner->currentState(), 0));
    return;
  }
  if (!secretPipe) {
    const auto text = RunnerError::passwordReadFailed().errorDescription();
    HelperLog::error("start failed: " + text);
    reply(failure(text, runner->currentState(), 0));
    return;
  }

  // A session the server ended cannot be resumed with its cookie: the user must sign in again,
  // and is told so instead of a bare exit.
  const bool signedIn = std::holds_alternative<HelperCookieStartRequest>(request);
  auto ended = std::make_shared<std::atomic<bool>>(false);
  auto onExit = [reply, signedIn, ended](std::int32_t status) {
    const bool sessionEnded = signedIn && status != 0 && ended->load();
    reply(HelperOpResult(status == 0, static_cast<std::int64_t>(status),
                         sessionEnded ? sessionEndedMessage : "openconnect exited", "idle",
                         Constants::helperVersion(), 0));
  };
  auto forClient = logHandlerForClient();
  OpenConnectRunner::LogHandler logHandler = forClient;
  if (signedIn) {
    logHandler = [forClient, ended](const std::string& line) {
      if (classifyOpenConnectLine(line) == OpenConnectLine::sessionEnded) {
        ended->store(true);
      }
      forClient(line);
    };
  }
  // The runner installs the handler only when the start succeeds, so a refused start leaves a
  // running tunnel's lines with the client that owns it.
  // The owner is recorded with the tunnel, under the runner's lock, as the tunnel starts.
  auto started = runner->start(request, *secretPipe, *appBundle, std::move(onExit),
                               std::move(logHandler), connection);
  if (!started) {
    const auto text = started.error().errorDescription();
    HelperLog::error("start failed: " + text);
    reply(failure(text, runner->currentState(), 0));
    return;
  }
  HelperLog::info("accepted start for " + server);
}

void HelperSession::stopWithReply(ResultReply reply) {
  const auto& runner = service_.runner;
  const CallsInProgress::Scope inProgress(service_.calls);
  std::string text;
  if (auto checked = CallerValidation::verify(*connection, security_); !checked) {
    text = checked.error().errorDescription();
  } else if (auto stopped = runner->stop(); !stopped) {
    text = stopped.error().errorDescription();
  } else {
    // The stopped child's pid: the runner may have learnt of its exit while stop returned.
    reply(HelperOpResult(true, 0, "stopping", "stopping", Constants::helperVersion(), *stopped));
    return;
  }
  auto state = runner->currentState();
  reply(failure(text, std::move(state), runner->currentPid()));
}

void HelperSession::statusWithReply(ResultReply reply) {
  const auto& runner = service_.runner;
  const CallsInProgress::Scope inProgress(service_.calls);
  if (auto checked = CallerValidation::verify(*connection, security_); !checked) {
    reply(failure(checked.error().errorDescription(), runner->currentState(), 0));
    return;
  }
  auto state = runner->currentState();
  const auto pid = runner->currentPid();
  // The state keeps its four values: a reconnection, or whose start is under way, shows in
  // the message.
  reply(HelperOpResult(true, 0, runner->isReconnecting() ? "reconnecting" : startDetail(*runner),
                       std::move(state), Constants::helperVersion(), pid));
}

}  // namespace vantreel
