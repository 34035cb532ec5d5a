#include "platform/xpc/connection.hpp"

#include <utility>

#include "platform/posix/io.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/xpc/call_quietly.hpp"
#include "platform/xpc/client_connection.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
#include "platform/xpc/service_path.hpp"

// A connection's life: configuration, resuming, invalidation and the end. What it sends is in
// connection_sending.cpp, what it reads in connection_receiving.cpp.
namespace vantreel::platform::xpc {

std::shared_ptr<Connection> Connection::machService(const std::string& name,
                                                    std::uint64_t options) {
  auto path = servicePath(name);
  std::string label = path ? *path : "service " + name;
  return ClientConnection::make(path.value_or(std::string()), std::move(label),
                                (options & privileged) != 0);
}

Connection::Connection(std::string label)
    : label_(std::move(label)), wake_(posix::makeWakeFd().value_or(posix::UniqueFd())) {}

Connection::~Connection() {
  if (!reader_.joinable()) {
    return;
  }
  if (reader_.get_id() == std::this_thread::get_id()) {
    posix::reapThread(std::move(reader_));
  } else {
    reader_.join();
  }
}

std::int32_t Connection::processIdentifier() const {
  std::scoped_lock lock(stateMutex_);
  return pid_;
}

std::optional<AuditToken> Connection::auditToken() const {
  std::scoped_lock lock(stateMutex_);
  return token_;
}

void Connection::setCodeSigningRequirement(std::string requirement) {
  std::scoped_lock lock(stateMutex_);
  requirement_ = std::move(requirement);
}

void Connection::setExportedInterface(Interface interface) {
  std::scoped_lock lock(stateMutex_);
  exportedInterface_ = std::move(interface);
}

void Connection::setRemoteObjectInterface(Interface interface) {
  std::scoped_lock lock(stateMutex_);
  remoteInterface_ = std::move(interface);
}

void Connection::setExportedObject(std::shared_ptr<ExportedObject> object) {
  std::scoped_lock lock(stateMutex_);
  if (!finished_) {
    exportedObject_ = std::move(object);
  }
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
  std::scoped_lock lock(stateMutex_);
  if (!finished_) {
    invalidationHandler_ = std::move(handler);
  }
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
  std::scoped_lock lock(stateMutex_);
  if (!finished_) {
    interruptionHandler_ = std::move(handler);
  }
}

void Connection::setDropNoticeHandler(std::function<void(std::uint64_t dropped)> handler) {
  std::scoped_lock lock(stateMutex_);
  if (!finished_) {
    dropNoticeHandler_ = std::move(handler);
  }
}

void Connection::resume() {
  std::scoped_lock lock(stateMutex_);
  resumed_ = true;
  startReaderLocked();
}

void Connection::startReaderLocked() {
  if (!resumed_ || !readerDueLocked() || started_ || invalidated_) {
    return;
  }
  started_ = true;
  reader_ = std::jthread([self = shared_from_this(), slot = slot_]() mutable {
    self->run();
    self.reset();  // may run the destructor here, which then hands this thread to the reaper
    slot.reset();
  });
}

void Connection::invalidate() {
  bool finishHere = false;
  {
    std::scoped_lock lock(stateMutex_);
    if (invalidated_) {
      return;
    }
    invalidated_ = true;
    if (started_) {
      if (liveFd_ >= 0) {
        seqpacket::shutdownBoth(liveFd_);
      }
    } else {
      finishHere = true;
    }
  }
  if (finishHere) {
    finish(Ending::invalidated, std::nullopt);
  }
}

bool Connection::isInvalidated() const {
  std::scoped_lock lock(stateMutex_);
  return invalidated_;
}

RemoteProxy Connection::remoteObjectProxy() { return RemoteProxy(shared_from_this(), {}); }

RemoteProxy Connection::remoteObjectProxyWithErrorHandler(
    std::function<void(const Error&)> handler) {
  return RemoteProxy(shared_from_this(), std::move(handler));
}

Error Connection::endError(Ending ending) const {
  if (ending == Ending::interrupted) {
    return Error(Error::interrupted, label_ + ": connection interrupted");
  }
  return Error(Error::invalid, label_ + ": connection invalidated");
}

void Connection::run() {
  auto fd = open();
  if (!fd) {
    finish(Ending::failed, fd.error());
    return;
  }
  Ending ending = wake_ ? serve(*fd) : Ending::failed;
  if (isInvalidated()) {
    ending = Ending::invalidated;
  }
  finish(ending, std::nullopt);
}

void Connection::finish(Ending ending, std::optional<Error> failure) {
  std::map<std::uint64_t, Pending> pending;
  std::function<void()> onInvalidation;
  std::function<void()> onInterruption;
  std::function<void(std::uint64_t)> onDrops;
  std::shared_ptr<ExportedObject> object;
  {
    std::scoped_lock lock(stateMutex_);
    if (finished_) {
      return;
    }
    finished_ = true;
    invalidated_ = true;
    liveFd_ = -1;
    pidfd_.reset();
    pending.swap(pending_);
    onInvalidation = std::move(invalidationHandler_);
    onInterruption = std::move(interruptionHandler_);
    onDrops = std::move(dropNoticeHandler_);
    object = std::move(exportedObject_);
  }
  outgoing_.close();
  onDrops = nullptr;
  object.reset();
  const Error error = failure ? *failure : endError(ending);
  for (auto& [id, call] : pending) {
    callQuietly(call.onError, error);
  }
  pending.clear();
  if (ending == Ending::interrupted) {
    callQuietly(onInterruption);
  }
  callQuietly(onInvalidation);
}

}  // namespace vantreel::platform::xpc
