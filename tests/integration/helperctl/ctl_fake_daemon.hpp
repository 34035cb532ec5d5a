#pragma once

// Test support: a scripted daemon served in the test process on a real socket, for what the
// control tool does with the daemon's answers (the real daemon's own behaviour is tested with
// the real daemon). It admits every caller and records what reaches it, in order.

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/connection.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/listener_delegate.hpp"
#include "shared/constants.hpp"
#include "shared/helper_client_protocol.hpp"
#include "shared/helper_client_proxy.hpp"
#include "shared/helper_xpc_dispatcher.hpp"
#include "shared/helper_xpc_protocol.hpp"

namespace vantreel::testing {

class CtlFakeDaemon {
 public:
  // What the daemon does; set before the tool talks to it.
  struct Script {
    std::optional<std::string> version = Constants::helperVersion();  // nullopt: never answers
    std::vector<std::string> logLines;          // sent to the caller after each start
    std::optional<HelperOpResult> startAnswer;  // answers the start at once when set
    HelperOpResult stopAnswer = HelperOpResult(true, 0, "stopping", "stopping");
    std::optional<HelperOpResult> endAfterStop = HelperOpResult(true, 0);  // then the start's
  };

  // Serves Constants::machService in a fresh directory that VANTREEL_SERVICE_DIR names.
  explicit CtlFakeDaemon(Script script) : core_(std::make_shared<Core>(std::move(script))) {
    dir_ = std::filesystem::temp_directory_path() /
           ("vt-ctl-fake-" + std::to_string(::getpid()) + "-" + std::to_string(++counter()));
    std::filesystem::create_directories(dir_);
    ::setenv("VANTREEL_SERVICE_DIR", dir_.c_str(), 1);
    listener_ = std::make_unique<platform::xpc::Listener>(std::string(Constants::machService));
    delegate_ = std::make_shared<Delegate>(core_);
    listener_->setDelegate(delegate_);
    resumed_ = listener_->resume().has_value();
  }
  CtlFakeDaemon(const CtlFakeDaemon&) = delete;
  CtlFakeDaemon& operator=(const CtlFakeDaemon&) = delete;
  ~CtlFakeDaemon() {
    listener_.reset();
    {
      std::scoped_lock lock(core_->mutex);
      core_->heldReplies.clear();
      core_->heldStart = nullptr;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  [[nodiscard]] bool resumed() const { return resumed_; }

  // "connection", "version", "start <server> <user> <pin or -> <password bytes>", "stop",
  // "status", in the order they arrived.
  std::vector<std::string> events() {
    std::scoped_lock lock(core_->mutex);
    return core_->events;
  }
  std::vector<std::string> waitForEvents(
      std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    std::unique_lock lock(core_->mutex);
    core_->changed.wait_for(lock, bound, [&] { return core_->events.size() >= count; });
    return core_->events;
  }
  // Answers the start that is being held.
  void endStart(HelperOpResult result) {
    HelperXPCProtocol::ResultReply reply;
    {
      std::scoped_lock lock(core_->mutex);
      reply = std::move(core_->heldStart);
      core_->heldStart = nullptr;
    }
    if (reply) {
      reply(std::move(result));
    }
  }

 private:
  struct Core {
    explicit Core(Script s) : script(std::move(s)) {}
    void record(std::string event) {
      {
        std::scoped_lock lock(mutex);
        events.push_back(std::move(event));
      }
      changed.notify_all();
    }
    const Script script;
    std::mutex mutex;  // guards events, heldReplies, heldStart
    std::condition_variable changed;
    std::vector<std::string> events;
    std::vector<HelperXPCProtocol::VersionReply> heldReplies;
    HelperXPCProtocol::ResultReply heldStart;
  };

  class Helper final : public HelperXPCProtocol {
   public:
    Helper(std::shared_ptr<Core> core, platform::xpc::RemoteProxy client)
        : core_(std::move(core)), client_(std::move(client)) {}

    void getVersionWithReply(VersionReply reply) override {
      core_->record("version");
      if (core_->script.version) {
        reply(*core_->script.version);
        return;
      }
      std::scoped_lock lock(core_->mutex);
      core_->heldReplies.push_back(std::move(reply));  // never answered, never dropped
    }
    void start(HelperStartRequest request,
               std::shared_ptr<platform::process::FileHandle> passwordPipe,
               ResultReply reply) override {
      answerStart("start " + request.server() + " " + request.username() + " " +
                      request.servercert().value_or("-"),
                  *passwordPipe, std::move(reply));
    }
    void startWithCookie(HelperCookieStartRequest request,
                         std::shared_ptr<platform::process::FileHandle> cookiePipe,
                         ResultReply reply) override {
      answerStart("cookie-start " + request.connectURL() + " " + request.servercert() + " " +
                      request.resolve().value_or("-"),
                  *cookiePipe, std::move(reply));
    }
    void answerStart(const std::string& what, platform::process::FileHandle& pipe,
                     ResultReply reply) {
      auto secret = pipe.readDataToEndOfFile();
      for (const auto& line : core_->script.logLines) {
        client_.appendLog(line);
      }
      std::string event = what + " " + (secret ? *secret : std::string("<unreadable>"));
      if (core_->script.startAnswer) {
        core_->record(std::move(event));
        reply(*core_->script.startAnswer);
        return;
      }
      {
        // Held before the event shows, so that whoever waits for the event can end the start.
        std::scoped_lock lock(core_->mutex);
        core_->heldStart = std::move(reply);
        core_->events.push_back(std::move(event));
      }
      core_->changed.notify_all();
    }
    void stopWithReply(ResultReply reply) override {
      core_->record("stop");
      reply(core_->script.stopAnswer);
      ResultReply held;
      {
        std::scoped_lock lock(core_->mutex);
        if (core_->script.endAfterStop) {
          held = std::move(core_->heldStart);
          core_->heldStart = nullptr;
        }
      }
      if (held) {
        held(*core_->script.endAfterStop);
      }
    }
    void statusWithReply(ResultReply reply) override {
      core_->record("status");
      reply(HelperOpResult(true, 0, "", "idle"));
    }

   private:
    std::shared_ptr<Core> core_;
    HelperClientProxy client_;
  };

  class Delegate final : public platform::xpc::ListenerDelegate {
   public:
    explicit Delegate(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    bool shouldAcceptNewConnection(platform::xpc::Listener& /*listener*/,
                                   std::shared_ptr<platform::xpc::Connection> connection) override {
      core_->record("connection");
      auto helper = std::make_shared<Helper>(core_, connection->remoteObjectProxy());
      connection->setExportedInterface(HelperXPCProtocol::makeInterface());
      connection->setRemoteObjectInterface(HelperClientProtocol::makeInterface());
      connection->setExportedObject(std::make_shared<HelperXPCDispatcher>(helper));
      connection->resume();
      return true;
    }

   private:
    std::shared_ptr<Core> core_;
  };

  static int& counter() {
    static int value = 0;
    return value;
  }

  std::shared_ptr<Core> core_;
  std::filesystem::path dir_;
  std::shared_ptr<Delegate> delegate_;
  std::unique_ptr<platform::xpc::Listener> listener_;
  bool resumed_ = false;
};

}  // namespace vantreel::testing
