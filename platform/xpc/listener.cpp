#include "platform/xpc/listener.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/posix/process_namespaces.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/refusal_burst.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
#include "platform/xpc/service_path.hpp"

namespace vantreel::platform::xpc {
namespace {

using namespace std::chrono_literals;

// How long refusals must pause for a burst of them to count as over, and how long a flood that
// goes on may go untold.
constexpr auto kBurstQuiet = 1s;
constexpr auto kBurstLongest = 60s;
// How long the acceptor waits for descriptors or memory to come free before it tries again.
constexpr int kExhaustionPauseMs = 100;

// What a process may run out of for a while; the listener waits that out.
bool isExhaustion(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

}  // namespace

struct Listener::Core : std::enable_shared_from_this<Listener::Core> {
  // A connection holds its slot from its accept until its thread has ended: that, not whether
  // its peer is still there, is what costs the service a thread and descriptors.
  struct Slot {
    std::uint32_t uid = 0;
    std::weak_ptr<const void> held;  // expires when the connection's last thread ends
    std::weak_ptr<Connection> connection;
  };
  struct Occupancy {
    std::size_t open = 0;    // slots whose peer is still there
    std::size_t ending = 0;  // slots whose peer has gone, their thread still finishing a call
    std::size_t ofUser = 0;  // slots of the uid asked about, either kind
  };

  std::mutex mutex;  // guards every member below except the descriptors, fixed before start
  std::string name;
  std::weak_ptr<ListenerDelegate> delegate;
  std::size_t maximum = 64;
  std::size_t perUser = 8;
  RefusalHandler onRefusal;
  FailureHandler onFailure;
  RequirementCheck check;
  std::vector<Slot> slots;
  RefusalBurst burst{kBurstQuiet, kBurstLongest};
  // Threads running the delegate, which holds a reference to the listener meanwhile.
  std::vector<std::thread::id> admissions;
  std::condition_variable admissionEnded;
  bool stopped = false;
  std::jthread acceptor;

  posix::UniqueFd listening;
  posix::UniqueFd wake;     // the acceptor looks again at `stopped` and at the burst
  posix::UniqueFd reserve;  // given up to accept and close a connection when none are left
  std::string boundPath;    // removed again when the listener goes
  posix::ProcessNamespaces namespaces;
  std::size_t pidDepth = 0;
  std::uint32_t ownUid = 0;

  // Connections whose peer has gone but that are not invalidated yet are handed back to be
  // invalidated outside the lock.
  Occupancy occupancyLocked(std::uint32_t uid, std::vector<std::shared_ptr<Connection>>& gone) {
    std::erase_if(slots, [](const Slot& slot) { return slot.held.expired(); });
    Occupancy occupancy;
    for (const auto& slot : slots) {
      auto connection = slot.connection.lock();
      const bool ended = !connection || connection->isInvalidated();
      const bool present = !ended && !connection->peerHasGone();
      if (!ended && !present) {
        gone.push_back(std::move(connection));
      }
      ++(present ? occupancy.open : occupancy.ending);
      occupancy.ofUser += slot.uid == uid ? 1 : 0;
    }
    return occupancy;
  }

  void tell(const std::string& text) {
    RefusalHandler handler;
    {
      std::scoped_lock lock(mutex);
      handler = onRefusal;
    }
    if (handler) {
      try {
        handler(0, text);
      } catch (...) {  // NOLINT(bugprone-empty-catch): a logging failure changes nothing here
      }
    }
  }
  void refuse(std::int32_t pid, const std::string& why) {
    std::vector<std::string> entries;
    {
      std::scoped_lock lock(mutex);
      entries = burst.refused("refused connection from pid " + std::to_string(pid) + ": " + why,
                              std::chrono::steady_clock::now());
    }
    // The acceptor then knows when to tell the rest of the burst.
    if (wake) {
      posix::signalWake(wake.get());
    }
    for (const auto& entry : entries) {
      tell(entry);
    }
  }
  void settleBurst() {
    std::optional<std::string> count;
    {
      std::scoped_lock lock(mutex);
      count = burst.settle(std::chrono::steady_clock::now());
    }
    if (count) {
      tell(*count);
    }
  }
  int msUntilBurstSettles() {
    std::scoped_lock lock(mutex);
    const auto due = burst.settleDue();
    if (!due) {
      return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
  }
  bool isStopped() {
    std::scoped_lock lock(mutex);
    return stopped;
  }

  void serve(Listener* owner);
  void waitForDescriptors(bool& exhausted, const posix::SysError& error);
  void acceptOne(Listener* owner, posix::UniqueFd socket);
  bool refuseBeyondShare(int socket);
  bool refuseForeignNamespaces(const PeerIdentity& peer);
  void admitOnConnectionThread(Listener* owner, const std::shared_ptr<Connection>& connection,
                               std::int32_t pid);
  bool askDelegate(Listener* owner, const std::shared_ptr<Connection>& connection);
};

void Listener::Core::serve(Listener* owner) {
  bool exhausted = false;
  for (;;) {
    auto next = seqpacket::acceptOrWake(listening.get(), wake.get(), msUntilBurstSettles());
    if (!next) {
      if (isExhaustion(next.error().code)) {
        waitForDescriptors(exhausted, next.error());
        continue;
      }
      FailureHandler failed;
      {
        std::scoped_lock lock(mutex);
        failed = stopped ? nullptr : onFailure;
      }
      if (failed) {
        failed("listener " + name + ": " + next.error().description() +
               "; no more connections can be accepted");
      }
      return;
    }
    if (!*next) {
      posix::drainWake(wake.get());
      if (isStopped()) {
        return;
      }
      settleBurst();
      continue;
    }
    exhausted = false;
    try {
      acceptOne(owner, std::move(**next));
    } catch (...) {  // NOLINT(bugprone-empty-catch): that connection is lost, the listener goes on
    }
    if (isStopped()) {
      return;
    }
  }
}

// Said once per shortage. A waiting connection is closed with the reserve descriptor, so that
// its client hears at once instead of waiting, and the acceptor does not spin on it.
void Listener::Core::waitForDescriptors(bool& exhausted, const posix::SysError& error) {
  if (!exhausted) {
    exhausted = true;
    tell("listener " + name + ": " + error.description() +
         "; closing waiting connections until there is room again");
  }
  reserve.reset();
  seqpacket::shedPending(listening.get());
  reserve = posix::openFile("/dev/null", O_RDONLY).value_or(posix::UniqueFd());
  (void)posix::waitReadable(wake.get(), std::chrono::milliseconds(kExhaustionPauseMs));
}

// The acceptor only accepts and refuses what is cheap to judge: admission, which hashes the
// caller's executable, runs on the connection's own thread and holds a slot like any connection.
void Listener::Core::acceptOne(Listener* owner, posix::UniqueFd socket) {
  if (refuseBeyondShare(socket.get())) {
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
  if (refuseForeignNamespaces(*peer)) {
    return;
  }
  const auto pid = peer->pid;
  const auto uid = peer->uid;
  RequirementCheck requirementCheck;
  {
    std::scoped_lock lock(mutex);
    requirementCheck = check;
  }
  std::weak_ptr<Core> weak = shared_from_this();
  auto slot = std::make_shared<const int>(0);
  auto connection =
      Connection::accepted(std::move(socket), std::move(*peer), std::move(requirementCheck), slot,
                           [weak](const std::string& text) {
                             if (auto core = weak.lock()) {
                               core->tell(text);
                             }
                           });
  {
    std::scoped_lock lock(mutex);
    slots.push_back(Slot{uid, slot, connection});
  }
  slot.reset();
  connection->admitOnOwnThread(
      [core = shared_from_this(), owner, pid](const std::shared_ptr<Connection>& admitted) {
        core->admitOnConnectionThread(owner, admitted, pid);
      });
}

// The cap bounds the service's threads and descriptors; the share keeps one user from taking
// all of them, so that another user's call still gets in. The service's own user is not held to
// a share: it can end the service anyway.
bool Listener::Core::refuseBeyondShare(int socket) {
  const auto uid = seqpacket::peerUid(socket);
  std::vector<std::shared_ptr<Connection>> gone;
  std::string why;
  {
    std::scoped_lock lock(mutex);
    const auto occupancy = occupancyLocked(uid.value_or(ownUid), gone);
    if (occupancy.open >= maximum) {
      why = std::to_string(maximum) + " connections are open already";
    } else if (occupancy.ending >= maximum) {
      why = std::to_string(maximum) + " connections whose clients have gone are still ending";
    } else if (!uid) {
      why = "its user is unknown";
    } else if (*uid != ownUid && occupancy.ofUser >= perUser) {
      why = "uid " + std::to_string(*uid) + " holds " + std::to_string(perUser) +
            " connections already";
    }
  }
  // Their threads end once the call they are in returns.
  for (const auto& connection : gone) {
    connection->invalidate();
  }
  if (why.empty()) {
    return false;
  }
  // Told before the peer sees its socket close, so the entry is there when it hears.
  refuse(seqpacket::peerPid(socket), why);
  return true;
}

// In a user namespace of its own a process may put any pid of its pid namespace on a frame as
// the sender, and the kernel even attaches that process's pidfd: the per-frame sender check
// holds only for peers in the service's own pid and user namespaces. A service that may not
// look at another user's namespaces (one not run as root) tells a nested pid namespace by its
// depth instead.
bool Listener::Core::refuseForeignNamespaces(const PeerIdentity& peer) {
  bool foreign = false;
  auto theirs = posix::processNamespaces(peer.pid);
  std::optional<posix::SysError> unknown;
  if (theirs) {
    foreign = *theirs != namespaces;
  } else if (theirs.error().code == EACCES) {
    auto depth = posix::pidNamespaceDepth(peer.pid);
    if (depth) {
      foreign = *depth != pidDepth;
    } else {
      unknown = depth.error();
    }
  } else {
    unknown = theirs.error();
  }
  // Read under /proc: valid only if the peer still lives, so that its pid was not reused.
  if (auto alive = posix::pidfdSendSignal(peer.pidfd.get(), 0);
      !alive && alive.error().code != EPERM) {
    unknown = alive.error();
  }
  if (unknown) {
    refuse(peer.pid, unknown->description());
    return true;
  }
  if (foreign) {
    refuse(peer.pid, "it runs in another pid or user namespace than the service");
    return true;
  }
  return false;
}

void Listener::Core::admitOnConnectionThread(Listener* owner,
                                             const std::shared_ptr<Connection>& connection,
                                             std::int32_t pid) {
  if (!askDelegate(owner, connection)) {
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

// Whether the delegate admits the connection, and the listener still runs once it has decided.
bool Listener::Core::askDelegate(Listener* owner, const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<ListenerDelegate> admitting;
  {
    std::scoped_lock lock(mutex);
    admitting = stopped ? nullptr : delegate.lock();
    if (!admitting) {
      return false;
    }
    admissions.push_back(std::this_thread::get_id());
  }
  bool accept = false;
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
  return accept;
}

Listener::Listener(std::string serviceName)
    : name_(std::move(serviceName)), core_(std::make_shared<Core>()) {
  core_->name = name_;
}

void Listener::awaitSent(std::chrono::steady_clock::time_point deadline) {
  std::vector<std::weak_ptr<Connection>> open;
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
}

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
  std::scoped_lock lock(core_->mutex);
  core_->delegate = std::move(delegate);
}

void Listener::setMaximumConnections(std::size_t maximum) {
  std::scoped_lock lock(core_->mutex);
  core_->maximum = maximum;
}

void Listener::setMaximumConnectionsPerUser(std::size_t share) {
  std::scoped_lock lock(core_->mutex);
  core_->perUser = share;
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
  core_->ownUid = ::geteuid();
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
  auto wake = posix::makeWakeFd();
  if (!wake) {
    return tl::unexpected(Error(Error::invalid, wake.error().description()));
  }
  core_->wake = std::move(*wake);
  auto reserve = posix::openFile("/dev/null", O_RDONLY);
  if (!reserve) {
    return tl::unexpected(Error(Error::invalid, reserve.error().description()));
  }
  core_->reserve = std::move(*reserve);
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
