#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tl/expected.hpp>
#include <vector>

#include "platform/posix/process_namespaces.hpp"
#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/admission_policy.hpp"
#include "platform/xpc/error.hpp"
#include "platform/xpc/listener.hpp"
#include "platform/xpc/listener_delegate.hpp"
#include "platform/xpc/peer_identity.hpp"
#include "platform/xpc/refusal_burst.hpp"
#include "platform/xpc/requirement_check.hpp"
#include "platform/xpc/server_connection.hpp"

namespace vantreel::platform::xpc {

// Outlives the listener while its acceptor and its connections' admissions still run: they
// hold the core, never the listener.
struct Listener::Core : std::enable_shared_from_this<Listener::Core> {
  struct Slot {
    std::uint32_t uid = 0;
    std::weak_ptr<const void> held;  // expires when the connection's last thread ends
    std::weak_ptr<ServerConnection> connection;
  };

  Core();

  std::mutex mutex;  // guards every member below except the descriptors, fixed before start
  std::string name;
  // The listener, for its delegate; null once the listener has begun to go.
  Listener* owner = nullptr;
  std::weak_ptr<ListenerDelegate> delegate;
  AdmissionLimits limits;
  RefusalHandler onRefusal;
  FailureHandler onFailure;
  RequirementCheck check;
  std::vector<Slot> slots;
  RefusalBurst burst;
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

  Occupancy occupancyLocked(std::uint32_t uid,
                            std::vector<std::shared_ptr<ServerConnection>>& gone);
  void tell(const std::string& text);
  void refuse(std::int32_t pid, const std::string& why);
  void settleBurst();
  int msUntilBurstSettles();
  bool isStopped();

  tl::expected<void, Error> bind();
  void serve();
  void failAccepting(const posix::SysError& error);
  void waitForDescriptors(bool& exhausted, const posix::SysError& error);
  void acceptOne(posix::UniqueFd socket);
  void admitLater(posix::UniqueFd socket, PeerIdentity peer);
  std::optional<Occupancy> takeSlot(int socket);
  NamespaceFacts namespacesOf(const PeerIdentity& peer) const;
  void admitOnConnectionThread(const std::shared_ptr<ServerConnection>& connection,
                               std::int32_t pid);
  bool askDelegate(const std::shared_ptr<ServerConnection>& connection);
};

}  // namespace vantreel::platform::xpc
