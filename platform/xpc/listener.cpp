#include "platform/xpc/listener.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
#include "platform/xpc/service_path.hpp"

namespace vantreel::platform::xpc {

struct Listener::Core {
  std::mutex mutex;  // guards every member below except the descriptors, fixed before start
  std::weak_ptr<ListenerDelegate> delegate;
  std::size_t maximum = 64;
  RefusalHandler onRefusal;
  RequirementCheck check;
  std::vector<std::weak_ptr<Connection>> connections;
  bool stopped = false;
  std::jthread acceptor;

  posix::UniqueFd listening;
  posix::PipeEnds wake;
  std::string boundPath;  // removed again when the listener goes

  std::size_t openConnectionsLocked() {
    std::erase_if(connections, [](const std::weak_ptr<Connection>& weak) {
      auto connection = weak.lock();
      return !connection || connection->isInvalidated();
    });
    return connections.size();
  }

  void refuse(std::int32_t pid, const std::string& why) {
    RefusalHandler handler;
    {
      std::scoped_lock lock(mutex);
      handler = onRefusal;
    }
    if (handler) {
      try {
        handler(pid, "refused connection from pid " + std::to_string(pid) + ": " + why);
      } catch (...) {  // NOLINT(bugprone-empty-catch): a logging failure changes nothing here
      }
    }
  }

  void serve(Listener* owner);
  void acceptOne(Listener* owner, posix::UniqueFd socket);
};

void Listener::Core::serve(Listener* owner) {
  for (;;) {
    auto next = seqpacket::acceptOrWake(listening.get(), wake.read.get());
    if (!next || !*next) {
      return;
    }
    try {
      acceptOne(owner, std::move(**next));
    } catch (...) {  // NOLINT(bugprone-empty-catch): that connection is lost, the listener goes on
    }
    std::scoped_lock lock(mutex);
    if (stopped) {
      return;
    }
  }
}

void Listener::Core::acceptOne(Listener* owner, posix::UniqueFd socket) {
  std::shared_ptr<ListenerDelegate> admitting;
  RequirementCheck requirementCheck;
  bool full = false;
  std::size_t limit = 0;
  {
    std::scoped_lock lock(mutex);
    limit = maximum;
    full = openConnectionsLocked() >= maximum;
    if (!full) {
      admitting = delegate.lock();
      requirementCheck = check;
    }
  }
  if (full) {
    const auto pid = seqpacket::peerPid(socket.get());
    socket.reset();
    refuse(pid, std::to_string(limit) + " connections are open already");
    return;
  }
  auto peer = seqpacket::peerIdentity(socket.get());
  if (!peer) {
    refuse(seqpacket::peerPid(socket.get()), peer.error().description());
    return;
  }
  const auto pid = peer->pid;
  auto connection =
      Connection::accepted(std::move(socket), std::move(*peer), std::move(requirementCheck));
  bool accept = false;
  if (admitting) {
    try {
      accept = admitting->shouldAcceptNewConnection(*owner, connection);
    } catch (...) {
      accept = false;
    }
  }
  admitting.reset();
  {
    std::scoped_lock lock(mutex);
    if (stopped) {
      accept = false;
    }
  }
  if (!accept) {
    connection->invalidate();
    return;
  }
  {
    std::scoped_lock lock(mutex);
    connections.push_back(connection);
  }
  switch (connection->admit()) {
    case Connection::Admission::admitted:
    case Connection::Admission::closed:
      return;
    case Connection::Admission::sentEarly:
      refuse(pid, "it sent a message before it was admitted");
      connection->invalidate();
      return;
    case Connection::Admission::failed:
      connection->invalidate();
      return;
  }
}

Listener::Listener(std::string serviceName)
    : name_(std::move(serviceName)), core_(std::make_shared<Core>()) {}

Listener::~Listener() {
  invalidate();
  std::vector<std::weak_ptr<Connection>> open;
  {
    std::scoped_lock lock(core_->mutex);
    open.swap(core_->connections);
  }
  for (auto& weak : open) {
    if (auto connection = weak.lock()) {
      connection->invalidate();
    }
  }
}

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
  std::scoped_lock lock(core_->mutex);
  core_->delegate = std::move(delegate);
}

void Listener::setMaximumConnections(std::size_t maximum) {
  std::scoped_lock lock(core_->mutex);
  core_->maximum = maximum;
}

void Listener::setRefusalHandler(RefusalHandler handler) {
  std::scoped_lock lock(core_->mutex);
  core_->onRefusal = std::move(handler);
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
  if (auto inherited = seqpacket::takeInheritedListener()) {
    core_->listening = std::move(*inherited);
  } else {
    const auto path = servicePath(name_);
    if (!path) {
      return tl::unexpected(Error(Error::invalid, "listener " + name_ + ": invalid service name"));
    }
    auto bound = seqpacket::listenOn(*path);
    if (!bound) {
      return tl::unexpected(Error(Error::invalid, bound.error().description()));
    }
    core_->listening = std::move(*bound);
    core_->boundPath = *path;
  }
  auto wake = posix::makePipe();
  if (!wake) {
    return tl::unexpected(Error(Error::invalid, wake.error().description()));
  }
  core_->wake = std::move(*wake);
  core_->acceptor = std::jthread([core = core_, owner = this] { core->serve(owner); });
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
    if (core_->wake.write) {
      const std::byte signal{1};
      (void)posix::writeAll(core_->wake.write.get(), std::span(&signal, 1));
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
