#include "platform/xpc/listener_core.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/io.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/posix/process_namespaces.hpp"
#include "platform/xpc/admission_policy.hpp"
#include "platform/xpc/call_quietly.hpp"
#include "platform/xpc/refusal_burst.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
#include "platform/xpc/server_connection.hpp"

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

Listener::Core::Core() : burst(kBurstQuiet, kBurstLongest) {}

// Connections whose peer has gone but that are not invalidated yet are handed back to be
// invalidated outside the lock.
Occupancy Listener::Core::occupancyLocked(std::uint32_t uid,
                                          std::vector<std::shared_ptr<ServerConnection>>& gone) {
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

void Listener::Core::tell(const std::string& text) {
  RefusalHandler handler;
  {
    std::scoped_lock lock(mutex);
    handler = onRefusal;
  }
  callQuietly(handler, 0, text);  // a logging failure changes nothing here
}

void Listener::Core::refuse(std::int32_t pid, const std::string& why) {
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

void Listener::Core::settleBurst() {
  std::optional<std::string> count;
  {
    std::scoped_lock lock(mutex);
    count = burst.settle(std::chrono::steady_clock::now());
  }
  if (count) {
    tell(*count);
  }
}

int Listener::Core::msUntilBurstSettles() {
  std::scoped_lock lock(mutex);
  const auto due = burst.settleDue();
  if (!due) {
    return -1;
  }
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

bool Listener::Core::isStopped() {
  std::scoped_lock lock(mutex);
  return stopped;
}

void Listener::Core::serve() {
  bool exhausted = false;
  for (;;) {
    auto next = seqpacket::acceptOrWake(listening.get(), wake.get(), msUntilBurstSettles());
    if (!next && isExhaustion(next.error().code)) {
      waitForDescriptors(exhausted, next.error());
      continue;
    }
    if (!next) {
      failAccepting(next.error());
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
      acceptOne(std::move(**next));
    } catch (...) {  // NOLINT(bugprone-empty-catch): that connection is lost, the listener goes on
    }
    if (isStopped()) {
      return;
    }
  }
}

void Listener::Core::failAccepting(const posix::SysError& error) {
  FailureHandler failed;
  {
    std::scoped_lock lock(mutex);
    failed = stopped ? nullptr : onFailure;
  }
  if (failed) {
    failed("listener " + name + ": " + error.description() +
           "; no more connections can be accepted");
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
void Listener::Core::acceptOne(posix::UniqueFd socket) {
  const auto occupancy = takeSlot(socket.get());
  if (!occupancy) {
    return;
  }
  // Before the welcome, so that every frame the peer may send carries its sender.
  auto passing = seqpacket::enableSenderCredentials(socket.get());
  auto peer = passing ? seqpacket::peerIdentity(socket.get()) : tl::unexpected(passing.error());
  if (!peer) {
    refuse(seqpacket::peerPid(socket.get()), peer.error().description());
    return;
  }
  AdmissionLimits fixed;
  {
    std::scoped_lock lock(mutex);
    fixed = limits;
  }
  if (auto why = admissionRefusal(fixed, {peer->uid, *occupancy, namespacesOf(*peer)})) {
    refuse(peer->pid, *why);
    return;
  }
  admitLater(std::move(socket), std::move(*peer));
}

// Hands the connection, holding its slot, to a thread of its own for the delegate to judge.
void Listener::Core::admitLater(posix::UniqueFd socket, PeerIdentity peer) {
  const auto pid = peer.pid;
  const auto uid = peer.uid;
  auto slot = std::make_shared<const int>(0);
  RequirementCheck requirementCheck;
  {
    std::scoped_lock lock(mutex);
    requirementCheck = check;
  }
  auto connection =
      ServerConnection::accepted(std::move(socket), std::move(peer), std::move(requirementCheck),
                                 slot, [weak = weak_from_this()](const std::string& text) {
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
      [core = shared_from_this(), pid](const std::shared_ptr<ServerConnection>& admitted) {
        core->admitOnConnectionThread(admitted, pid);
      });
}

// The occupancy the connection found, or nullopt when it was refused for want of a slot.
std::optional<Occupancy> Listener::Core::takeSlot(int socket) {
  const auto uid = seqpacket::peerUid(socket);
  std::vector<std::shared_ptr<ServerConnection>> gone;
  std::optional<std::string> why;
  AdmissionFacts facts{uid, {}, std::nullopt};
  {
    std::scoped_lock lock(mutex);
    facts.occupancy = occupancyLocked(uid.value_or(limits.ownUid), gone);
    why = admissionRefusal(limits, facts);
  }
  // Their threads end once the call they are in returns.
  for (const auto& connection : gone) {
    connection->invalidate();
  }
  if (!why) {
    return facts.occupancy;
  }
  // Told before the peer sees its socket close, so the entry is there when it hears.
  refuse(seqpacket::peerPid(socket), *why);
  return std::nullopt;
}

NamespaceFacts Listener::Core::namespacesOf(const PeerIdentity& peer) const {
  NamespaceFacts facts{.sameNamespaces = tl::unexpected(posix::SysError{}),
                       .samePidDepth = std::nullopt,
                       .alive = {}};
  auto theirs = posix::processNamespaces(peer.pid);
  facts.sameNamespaces = theirs.map([this](const auto& read) { return read == namespaces; });
  if (!theirs && theirs.error().code == EACCES) {
    facts.samePidDepth = posix::pidNamespaceDepth(peer.pid).map(
        [this](std::size_t depth) { return depth == pidDepth; });
  }
  facts.alive = posix::pidfdSendSignal(peer.pidfd.get(), 0);
  return facts;
}

void Listener::Core::admitOnConnectionThread(const std::shared_ptr<ServerConnection>& connection,
                                             std::int32_t pid) {
  if (!askDelegate(connection)) {
    connection->invalidate();
    return;
  }
  switch (connection->admit()) {
    case ServerConnection::Admission::admitted:
    case ServerConnection::Admission::closed:
      return;
    case ServerConnection::Admission::sentEarly:
      refuse(pid, "it sent a message before it was admitted");
      connection->invalidate();
      return;
    case ServerConnection::Admission::failed:
      connection->invalidate();
      return;
  }
}

// Whether the delegate admits the connection, and the listener still runs once it has decided.
// The listener waits, before it goes, for every delegate it let begin.
bool Listener::Core::askDelegate(const std::shared_ptr<ServerConnection>& connection) {
  std::shared_ptr<ListenerDelegate> admitting;
  Listener* listener = nullptr;
  {
    std::scoped_lock lock(mutex);
    admitting = stopped ? nullptr : delegate.lock();
    listener = owner;
    if (!admitting || listener == nullptr) {
      return false;
    }
    admissions.push_back(std::this_thread::get_id());
  }
  bool accept = false;
  try {
    accept = admitting->shouldAcceptNewConnection(*listener, connection);
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

}  // namespace vantreel::platform::xpc
