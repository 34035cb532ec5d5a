#include "helperctl/helper_ctl_client.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>

#include "helperctl/ctl_streams.hpp"
#include "platform/posix/secret_wipe.hpp"
#include "platform/process/pipe.hpp"
#include "shared/helper_client_dispatcher.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace vantreel {
namespace {

using platform::posix::WipedOnExit;
using platform::posix::wipeSecret;
using platform::xpc::Connection;

CtlError passedOn(const platform::xpc::Error& error) {
  return CtlError{std::string(HelperCtlClient::xpcErrorDomain), error.code(), error.description()};
}

// The exported object: holds its client weakly, so the connection never keeps it alive.
class LogForwarder final : public HelperClientProtocol {
 public:
  explicit LogForwarder(std::weak_ptr<HelperCtlClient> client) : client_(std::move(client)) {}

  void appendLog(std::string line) override {
    if (auto client = client_.lock()) {
      client->appendLog(line);
    }
  }

 private:
  std::weak_ptr<HelperCtlClient> client_;
};

// Shared by one waiting call and the handlers of that call, so that a handler running after
// the call gave up still finds both alive.
template <class T>
struct CallSlot {
  // Not a semaphore: libstdc++'s timed semaphore wait sleeps in steps of up to 64 ms, so a
  // reply would be noticed that much later.
  std::condition_variable done;
  std::mutex mutex;  // guards result
  std::optional<tl::expected<T, CtlError>> result;
};

}  // namespace

std::shared_ptr<HelperCtlClient> HelperCtlClient::make(std::string_view machService) {
  return make(machService, Streams{});
}

std::shared_ptr<HelperCtlClient> HelperCtlClient::make(std::string_view machService,
                                                       Streams streams) {
  auto client = std::make_shared<HelperCtlClient>(Passkey{}, machService, streams);
  client->setUp(client);
  return client;
}

HelperCtlClient::HelperCtlClient(Passkey, std::string_view machService, Streams streams)
    : streams_(streams),
      connection(Connection::machService(std::string(machService), Connection::privileged)) {}

void HelperCtlClient::setUp(const std::shared_ptr<HelperCtlClient>& self) {
  connection->setRemoteObjectInterface(HelperXPCProtocol::makeInterface());
  connection->setExportedInterface(HelperClientProtocol::makeInterface());
  connection->setExportedObject(
      std::make_shared<HelperClientDispatcher>(std::make_shared<LogForwarder>(self)));
  connection->resume();
}

HelperCtlClient::~HelperCtlClient() { invalidate(); }

void HelperCtlClient::invalidate() {
  invalidated_->store(true);
  connection->invalidate();
}

void HelperCtlClient::appendLog(const std::string& line) {
  // The line OpenConnect prints once the interface is up names it ("tun0", "utun3", "tap1").
  for (const std::string_view name : {"tun", "tap"}) {
    for (auto at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
      const auto next = at + name.size();
      if (next < line.size() && line[next] >= '0' && line[next] <= '9') {
        tunnelSeen_->store(true);
      }
    }
  }
  CtlStreams::writeLine(streams_.output, line);
}

bool HelperCtlClient::tunnelSeen() const { return tunnelSeen_->load(); }

template <class T>
tl::expected<T, CtlError> HelperCtlClient::sync(std::chrono::seconds timeout, const Body<T>& body,
                                                const std::function<void()>& onSent, bool quiet) {
  auto slot = std::make_shared<CallSlot<T>>();
  auto complete = [slot](tl::expected<T, CtlError> outcome) {
    {
      std::scoped_lock lock(slot->mutex);
      slot->result = std::move(outcome);
    }
    slot->done.notify_all();
  };
  HelperXPCProxy proxied(connection, [slot, quiet, fd = streams_.error, invalidated = invalidated_](
                                         const platform::xpc::Error& error) {
    // Said even after the call has timed out: the connection failing is news of its own.
    if (!quiet && !invalidated->load()) {
      CtlStreams::writeLine(fd, "helper XPC error: " + error.description());
    }
    {
      std::scoped_lock lock(slot->mutex);
      slot->result = tl::unexpected(passedOn(error));
    }
    slot->done.notify_all();
  });
  body(proxied, complete);
  if (onSent) {
    onSent();
  }
  // The time-out runs from the moment the message has left, not from when the call began.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(slot->mutex);
  if (!slot->done.wait_until(lock, deadline, [&slot] { return slot->result.has_value(); })) {
    return tl::unexpected(CtlError::own(timedOutCode, timedOutDescription));
  }
  return std::move(*slot->result);
}

tl::expected<std::string, CtlError> HelperCtlClient::getVersion() {
  return sync<std::string>(versionTimeout, [](HelperXPCProxy& proxied, auto complete) {
    proxied.getVersionWithReply(
        [complete = std::move(complete)](std::string version) { complete(std::move(version)); });
  });
}

bool HelperCtlClient::startStillPending() {
  // As long as the start may take: the connection's end fails this call at once.
  auto version = sync<std::string>(
      connectTimeout,
      [](HelperXPCProxy& proxied, auto complete) {
        proxied.getVersionWithReply(
            [complete = std::move(complete)](std::string reply) { complete(std::move(reply)); });
      },
      {}, true);
  // Replies arrive in order on the connection's thread, and the start's reply marks the
  // start answered before it is delivered: a refusal is seen here.
  return version.has_value() && !startAnswered_->load();
}

tl::expected<HelperOpResult, CtlError> HelperCtlClient::status() {
  return sync<HelperOpResult>(statusTimeout, [](HelperXPCProxy& proxied, auto complete) {
    proxied.statusWithReply(
        [complete = std::move(complete)](HelperOpResult result) { complete(std::move(result)); });
  });
}

tl::expected<HelperOpResult, CtlError> HelperCtlClient::stop() {
  return sync<HelperOpResult>(stopTimeout, [](HelperXPCProxy& proxied, auto complete) {
    proxied.stopWithReply(
        [complete = std::move(complete)](HelperOpResult result) { complete(std::move(result)); });
  });
}

tl::expected<HelperOpResult, CtlError> HelperCtlClient::connect(
    const HelperStartRequest& request, std::string_view password,
    const std::function<void()>& onSent) {
  if (password.size() > maxPasswordBytes) {
    return tl::unexpected(CtlError::own(passwordTooLongCode, passwordTooLongDescription));
  }
  return startWithSecret(
      password,
      [&request](HelperXPCProxy& proxied, auto pipe, auto reply) {
        proxied.start(request, std::move(pipe), std::move(reply));
      },
      onSent);
}

tl::expected<HelperOpResult, CtlError> HelperCtlClient::connectWithCookie(
    const HelperCookieStartRequest& request, std::string_view cookie,
    const std::function<void()>& onSent) {
  if (cookie.size() > maxPasswordBytes) {
    return tl::unexpected(CtlError::own(passwordTooLongCode, "cookie too long"));
  }
  return startWithSecret(
      cookie,
      [&request](HelperXPCProxy& proxied, auto pipe, auto reply) {
        proxied.startWithCookie(request, std::move(pipe), std::move(reply));
      },
      onSent);
}

tl::expected<HelperOpResult, CtlError> HelperCtlClient::startWithSecret(
    std::string_view secret, const StartSender& send, const std::function<void()>& onSent) {
  auto made = platform::process::Pipe::make();
  if (!made) {
    return tl::unexpected(CtlError::passedOn(made.error()));
  }
  std::optional<platform::process::Pipe> pipe(std::move(*made));
  // Room for the line feed up front: growing would hand back a copy of the secret unwiped.
  std::string line;
  line.reserve(secret.size() + 1);
  line.append(secret).push_back('\n');
  const WipedOnExit wiped(line);
  // The pipe holds far more than the longest line admitted, so this write never waits for
  // the daemon, which is not reading yet.
  auto written = pipe->fileHandleForWriting()->writeData(line);
  wipeSecret(line);
  if (!written) {
    return tl::unexpected(CtlError::passedOn(written.error()));
  }
  // A failed close still leaves the whole line in the pipe; the daemon reads to end of file.
  (void)pipe->fileHandleForWriting()->close();
  std::shared_ptr<platform::process::FileHandle> reading = pipe->fileHandleForReading();
  return sync<HelperOpResult>(
      connectTimeout,
      [&](HelperXPCProxy& proxied, auto complete) {
        send(proxied, reading,
             [complete = std::move(complete), answered = startAnswered_](HelperOpResult result) {
               answered->store(true);
               complete(std::move(result));
             });
        // The message carries its own copy of the read end; ours is of no further use.
        reading.reset();
        pipe.reset();
      },
      onSent);
}

}  // namespace vantreel
