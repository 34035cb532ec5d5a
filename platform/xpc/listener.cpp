#include "platform/xpc/listener.hpp"

#include <algorithm>
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

struct Listener::Core : std::enable_shared_from_this<Listener::Core> {
  std::mutex mutex;  // guards every member below except the descriptors, fixed before start
  std::weak_ptr<ListenerDelegate> delegate;
  std::size_t maximum = 64;
  RefusalHandler onRefusal;
  RequirementCheck check;
  std::vector<std::weak_ptr<Connection>> connections;
  // Threads running the delegate, which holds a reference to the listener meanwhile.
  std::vector<std::thread::id> admissions;
  std::condition_variable admissionEnded;
  bool stopped = false;
  std::jthread acceptor;

  posix::UniqueFd listening;
  posix::PipeEnds wake;
  std::string boundPath;  // removed again when the listener goes

  // A connection whose peer has gone no longer holds a slot, even while one of its messages is
  // still being handled; those are handed back to be invalidated outside the lock.
  std::size_t openConnectionsLocked(std::vector<std::shared_ptr<Connection>>& gone) {
    std::erase_if(connections, [&gone](const std::weak_ptr<Connection>& weak) {
      auto connection = weak.lock();
      if (connection && !connection->isInvalidated() && connection->peerHasGone()) {
        gone.push_back(std::move(connection));
        return true;
      }
      return !connection || connection->isInvalidated();
    });
    return connections.size();
  }

  void report(std::int32_t pid, const std::string& text) {
    RefusalHandler handler;
    {
      std::scoped_lock lock(mutex);
      handler = onRefusal;
    }
    if (handler) {
      try {
        handler(pid, text);
      } catch (...) {  // NOLINT(bugprone-empty-catch): a logging failure changes nothing here
      }
    }
  }
  void refuse(std::int32_t pid, const std::string& why) {
    report(pid, "refused connection from pid " + std::to_string(pid) + ": " + why);
  }

  void serve(Listener* owner);
  void acceptOne(Listener* owner, posix::UniqueFd socket);
  void admit(Listener* owner, const std::shared_ptr<Connection>& connection, std::int32_t pid);
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

// The acceptor only accepts: admission, which hashes the caller's executable, runs on the
// connection's own thread and counts against the cap like any open connection.
void Listener::Core::acceptOne(Listener* owner, posix::UniqueFd socket) {
  RequirementCheck requirementCheck;
  bool full = false;
  std::size_t limit = 0;
  std::vector<std::shared_ptr<Connection>> gone;
  {
    std::scoped_lock lock(mutex);
    limit = maximum;
    full = openConnectionsLocked(gone) >= maximum;
    requirementCheck = check;
  }
  for (const auto& connection : gone) {
    connection->invalidate();
  }
  gone.clear();
  if (full) {
    // Told before the peer sees its socket close, so the entry is there when it hears.
    refuse(seqpacket::peerPid(socket.get()),
           std::to_string(limit) + " connections are open already");
    return;
  }
  // Before the welcome, so that every frame the peer may send carries its sender.
  if (auto passing = seqpacket::enableSenderCredentials(socket.get()); !passing) {
    refuse(seqpacket::peerPid(socket.get()), passing.error().description());
    return;
  }
  auto peer = seqpacket::peerIdentity(socket.get());
  if (!peer) {
    refuse(seqpacket::peerPid(socket.get()), peer.error().description());
    return;
  }
  const auto pid = peer->pid;
  std::weak_ptr<Core> weak = shared_from_this();
  auto connection =
      Connection::accepted(std::move(socket), std::move(*peer), std::move(requirementCheck),
                           [weak, pid](const std::string& text) {
                             if (auto core = weak.lock()) {
                               core->report(pid, text);
                             }
                           });
  {
    std::scoped_lock lock(mutex);
    connections.push_back(connection);
  }
  connection->admitOnOwnThread(
      [core = shared_from_this(), owner, pid](const std::shared_ptr<Connection>& admitted) {
        core->admit(owner, admitted, pid);
      });
}

void Listener::Core::admit(Listener* owner, const std::shared_ptr<Connection>& connection,
                           std::int32_t pid) {
  std::shared_ptr<ListenerDelegate> admitting;
  {
    std::scoped_lock lock(mutex);
    admitting = stopped ? nullptr : delegate.lock();
    if (admitting) {
      admissions.push_back(std::this_thread::get_id());
    }
  }
  bool accept = false;
  if (admitting) {
    try {
      accept = admitting->shouldAcceptNewConnection(*owner, connection);
    } catch (...) {
      accept = false;
    }
    admitting.reset();
    {
      std::scoped_lock lock(mutex);
      std::erase(admissions, std::this_thread::get_id());
      if (stopped) {
        accept = false;
      }
    }
    admissionEnded.notify_all();
  }
  if (!accept) {
    connection->invalidate();
    return;
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

void Listener::awaitSent(std::chrono::steady_clock::time_point deadline) {
  std::vector<std::weak_ptr<Connection>> open;
  {
    std::scoped_lock lock(core_->mutex);
    open = core_->connections;
  }
  for (auto& weak : open) {
    if (auto connection = weak.lock()) {
      (void)connection->awaitSent(deadline);
    }
  }
}

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
  // A delegate still running holds a reference to this listener; one that destroys the
  // listener itself is not waited for.
  std::unique_lock lock(core_->mutex);
  core_->admissionEnded.wait(lock, [this] {
    return std::all_of(core_->admissions.begin(), core_->admissions.end(),
                       [](std::thread::id id) { return id == std::this_thread::get_id(); });
  });
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
