#include "platform/xpc/listener.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/posix/process_namespaces.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/xpc/listener_core.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
#include "platform/xpc/server_connection.hpp"
#include "platform/xpc/service_path.hpp"

namespace vantreel::platform::xpc {
namespace {

template <class T>
tl::unexpected<Error> failure(const posix::SysResult<T>& result) {
  return tl::unexpected(Error(Error::invalid, result.error().description()));
}

}  // namespace

// The socket a service manager handed over, else the service's socket file; then what the
// acceptor needs besides. Runs before the acceptor starts, under the lock.
tl::expected<void, Error> Listener::Core::bind() {
  if (auto inherited = seqpacket::takeInheritedListener()) {
    listening = std::move(*inherited);
  } else {
    const auto path = servicePath(name);
    if (!path) {
      return tl::unexpected(Error(Error::invalid, "listener " + name + ": invalid service name"));
    }
    auto bound = seqpacket::listenOn(*path);
    if (!bound) {
      return failure(bound);
    }
    listening = std::move(*bound);
    boundPath = *path;
  }
  auto woken = posix::makeWakeFd();
  if (!woken) {
    return failure(woken);
  }
  wake = std::move(*woken);
  auto spare = posix::openFile("/dev/null", O_RDONLY);
  if (!spare) {
    return failure(spare);
  }
  reserve = std::move(*spare);
  return {};
}

Listener::Listener(std::string serviceName)
    : name_(std::move(serviceName)), core_(std::make_shared<Core>()) {
  core_->name = name_;
  core_->owner = this;
}

void Listener::awaitSent(std::chrono::steady_clock::time_point deadline) {
  std::vector<std::weak_ptr<ServerConnection>> open;
  {
    std::scoped_lock lock(core_->mutex);
    for (const auto& slot : core_->slots) {
      open.push_back(slot.connection);
    }
  }
  for (auto& weak : open) {
    if (auto connection = weak.lock()) {
      (void)connection->awaitSent(deadline);
    }
  }
}

Listener::~Listener() {
  invalidate();
  std::vector<Core::Slot> open;
  {
    std::scoped_lock lock(core_->mutex);
    open.swap(core_->slots);
  }
  for (auto& slot : open) {
    if (auto connection = slot.connection.lock()) {
      connection->invalidate();
    }
  }
  // A delegate still running holds a reference to this listener; one that destroys the
  // listener itself is not waited for.
  std::unique_lock lock(core_->mutex);
  core_->admissionEnded.wait(lock, [this] {
    return std::all_of(core_->admissions.begin(), core_->admissions.end(),
                       [](std::thread::id id) { return id == std::this_thread::get_id(); });
  });
  core_->owner = nullptr;
}

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
  std::scoped_lock lock(core_->mutex);
  core_->delegate = std::move(delegate);
}

void Listener::setMaximumConnections(std::size_t maximum) {
  std::scoped_lock lock(core_->mutex);
  core_->limits.maximum = maximum;
}

void Listener::setMaximumConnectionsPerUser(std::size_t share) {
  std::scoped_lock lock(core_->mutex);
  core_->limits.perUser = share;
}

void Listener::setRefusalHandler(RefusalHandler handler) {
  std::scoped_lock lock(core_->mutex);
  core_->onRefusal = std::move(handler);
}

void Listener::setFailureHandler(FailureHandler handler) {
  std::scoped_lock lock(core_->mutex);
  core_->onFailure = std::move(handler);
}

void Listener::setRequirementCheck(RequirementCheck check) {
  std::scoped_lock lock(core_->mutex);
  core_->check = std::move(check);
}

tl::expected<void, Error> Listener::resume() {
  std::scoped_lock lock(core_->mutex);
  if (core_->stopped || core_->acceptor.joinable()) {
    return tl::unexpected(Error(Error::invalid, "listener " + name_ + ": already resumed"));
  }
  auto namespaces = posix::ownNamespaces();
  if (!namespaces) {
    return tl::unexpected(Error(Error::invalid, namespaces.error().description()));
  }
  auto depth = posix::ownPidNamespaceDepth();
  if (!depth) {
    return tl::unexpected(Error(Error::invalid, depth.error().description()));
  }
  core_->namespaces = *namespaces;
  core_->pidDepth = *depth;
  core_->limits.ownUid = ::geteuid();
  if (auto bound = core_->bind(); !bound) {
    return bound;
  }
  core_->acceptor = std::jthread([core = core_] { core->serve(); });
  return {};
}

void Listener::invalidate() {
  std::jthread acceptor;
  {
    std::scoped_lock lock(core_->mutex);
    if (core_->stopped) {
      return;
    }
    core_->stopped = true;
    acceptor = std::move(core_->acceptor);
    if (core_->wake) {
      posix::signalWake(core_->wake.get());
    }
  }
  if (acceptor.joinable()) {
    if (acceptor.get_id() == std::this_thread::get_id()) {
      // Called by the delegate: the acceptor sees `stopped` once the delegate returns.
      posix::reapThread(std::move(acceptor));
    } else {
      acceptor.join();
      core_->listening.reset();
    }
  }
  if (!core_->boundPath.empty()) {
    seqpacket::removeSocketFile(core_->boundPath);
  }
}

}  // namespace vantreel::platform::xpc
