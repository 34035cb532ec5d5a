#include "platform/xpc/connection.hpp"

#include <cerrno>
#include <exception>
#include <utility>

#include "platform/posix/io.hpp"
#include "platform/posix/thread_reaper.hpp"
#include "platform/xpc/seqpacket_socket.hpp"
#include "platform/xpc/service_path.hpp"

namespace vantreel::platform::xpc {
namespace {

std::vector<posix::UniqueFd> takeDescriptors(std::vector<Value>& values) {
  std::vector<posix::UniqueFd> descriptors;
  for (auto& value : values) {
    if (auto* fd = std::get_if<posix::UniqueFd>(&value)) {
      descriptors.push_back(std::move(*fd));
    }
  }
  return descriptors;
}

template <class F, class... Args>
void callQuietly(const F& f, Args&&... args) noexcept {
  if (!f) {
    return;
  }
  try {
    f(std::forward<Args>(args)...);
  } catch (...) {  // NOLINT(bugprone-empty-catch): a handler's failure is its own
  }
}

}  // namespace

std::shared_ptr<Connection> Connection::machService(const std::string& name,
                                                    std::uint64_t options) {
  auto path = servicePath(name);
  std::string label = path ? *path : "service " + name;
  return std::make_shared<Connection>(Passkey{}, path.value_or(std::string()), std::move(label),
                                      (options & privileged) != 0);
}

Connection::Connection(Passkey, std::string path, std::string label, bool isPrivileged)
    : side_(Side::client),
      path_(std::move(path)),
      label_(std::move(label)),
      privileged_(isPrivileged),
      wake_(posix::makeWakeFd().value_or(posix::UniqueFd())) {}

Connection::Connection(Passkey, posix::UniqueFd socket, PeerIdentity peer, RequirementCheck check,
                       std::shared_ptr<const void> slot, Reporter report)
    : side_(Side::server),
      label_("connection from pid " + std::to_string(peer.pid)),
      check_(std::move(check)),
      report_(std::move(report)),
      wake_(posix::makeWakeFd().value_or(posix::UniqueFd())),
      pid_(peer.pid),
      token_(AuditToken::make(peer.pid, peer.uid, peer.gid, peer.startTime)),
      pidfd_(std::move(peer.pidfd)),
      peerKey_(seqpacket::processKey(pidfd_.get())),
      liveFd_(socket.get()),
      slot_(std::move(slot)) {
  outgoing_.attach(std::move(socket));
}

std::shared_ptr<Connection> Connection::accepted(posix::UniqueFd socket, PeerIdentity peer,
                                                 RequirementCheck check,
                                                 std::shared_ptr<const void> slot,
                                                 Reporter report) {
  return std::make_shared<Connection>(Passkey{}, std::move(socket), std::move(peer),
                                      std::move(check), std::move(slot), std::move(report));
}

Connection::~Connection() {
  for (auto* thread : {&reader_, &admission_}) {
    if (!thread->joinable()) {
      continue;
    }
    if (thread->get_id() == std::this_thread::get_id()) {
      posix::reapThread(std::move(*thread));
    } else {
      thread->join();
    }
  }
}

void Connection::admitOnOwnThread(
    std::function<void(const std::shared_ptr<Connection>&)> admission) {
  // Under the lock, so that the thread below finds itself in admission_.
  std::scoped_lock lock(stateMutex_);
  admission_ =
      std::jthread([self = shared_from_this(), admission = std::move(admission)]() mutable {
        try {
          admission(self);
        } catch (...) {
          self->invalidate();
        }
        admission = nullptr;
        // Joined as soon as it has returned, not when the connection goes: a finished thread
        // that nobody joins keeps its stack for the life of the connection.
        std::jthread own;
        {
          // A reader thread started meanwhile holds a slot of its own.
          std::scoped_lock guard(self->stateMutex_);
          own = std::move(self->admission_);
          self->slot_.reset();
        }
        self.reset();
        posix::reapThread(std::move(own));
      });
}

bool Connection::peerHasGone() const {
  std::scoped_lock lock(stateMutex_);
  return liveFd_ >= 0 && seqpacket::peerHungUp(liveFd_, side_ == Side::server ? pidfd_.get() : -1);
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
  const bool due = side_ == Side::server ? admitted_ : used_;
  if (!resumed_ || !due || started_ || invalidated_) {
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

void RemoteProxy::send(const std::string& selector, std::vector<Value> arguments,
                       std::function<void(std::vector<Value>)> onReply) const {
  connection_->sendCall(selector, std::move(arguments), std::move(onReply), errorHandler_);
}

Error Connection::endError(Ending ending) const {
  if (ending == Ending::interrupted) {
    return Error(Error::interrupted, label_ + ": connection interrupted");
  }
  return Error(Error::invalid, label_ + ": connection invalidated");
}

void Connection::sendCall(const std::string& selector, std::vector<Value> arguments,
                          std::function<void(std::vector<Value>)> onReply,
                          const std::function<void(const Error&)>& onError) {
  std::optional<Error> refused;
  std::uint64_t id = 0;
  OutgoingQueue::Message outgoing;
  {
    std::scoped_lock lock(stateMutex_);
    const MethodSignature* method = remoteInterface_ ? remoteInterface_->method(selector) : nullptr;
    if (invalidated_) {
      refused = endError(Ending::invalidated);
    } else if (method == nullptr) {
      refused = Error(Error::replyInvalid, selector + ": not in the remote interface");
    } else if (!method->reply && onReply) {
      refused = Error(Error::replyInvalid, selector + ": one-way message given a reply handler");
    } else if (auto encoded = encodeValues(arguments, method->arguments, method->argumentClasses);
               !encoded) {
      refused = Error(Error::replyInvalid, selector + ": " + encoded.error());
    } else {
      id = method->reply ? nextId_++ : 0;
      Frame frame{Frame::Kind::call, id, selector, std::move(encoded->arguments)};
      outgoing.bytes = frame.encode();
      if (outgoing.bytes.size() > seqpacket::kMaxDatagram ||
          encoded->descriptors.size() > seqpacket::kMaxDescriptors) {
        refused = Error(Error::replyInvalid, selector + ": message too large");
      } else {
        outgoing.descriptors = takeDescriptors(arguments);
        outgoing.droppable = id == 0;
        if (id != 0) {
          pending_[id] = Pending{selector, std::move(onReply), onError};
        }
        used_ = true;
        startReaderLocked();
      }
    }
  }
  if (refused) {
    callQuietly(onError, *refused);
    return;
  }
  if (!deliver(std::move(outgoing)) && id != 0) {
    failPending(id, endError(Ending::interrupted));
  }
}

void Connection::sendReply(std::uint64_t id, const std::string& selector,
                           std::vector<Value> values) {
  OutgoingQueue::Message outgoing;
  {
    std::scoped_lock lock(stateMutex_);
    if (finished_) {
      return;
    }
    const MethodSignature* method =
        exportedInterface_ ? exportedInterface_->method(selector) : nullptr;
    if (method == nullptr || !method->reply) {
      return;
    }
    auto encoded = encodeValues(values, *method->reply, method->replyClasses);
    if (encoded) {
      Frame frame{Frame::Kind::reply, id, {}, std::move(encoded->arguments)};
      outgoing.bytes = frame.encode();
    }
    if (!encoded || outgoing.bytes.size() > seqpacket::kMaxDatagram ||
        encoded->descriptors.size() > seqpacket::kMaxDescriptors) {
      outgoing.bytes = Frame{Frame::Kind::error, id, {}, {}}.encode();
    } else {
      outgoing.descriptors = takeDescriptors(values);
    }
  }
  (void)deliver(std::move(outgoing));
}

void Connection::sendError(std::uint64_t id) {
  (void)deliver(OutgoingQueue::Message{Frame{Frame::Kind::error, id, {}, {}}.encode(), {}});
}

bool Connection::deliver(OutgoingQueue::Message outgoing) {
  if (!outgoing.droppable) {
    // The peer hears of lost messages before the next reply, which may be its last.
    announceDrops(outgoing_.takeDrops());
  }
  const auto pushed = outgoing_.push(std::move(outgoing));
  if (pushed.waiting && wake_) {
    // The connection's thread now waits for the socket to take the rest.
    posix::signalWake(wake_.get());
  }
  announceDrops(pushed.drops);
  return pushed.accepted;
}

bool Connection::awaitSent(std::chrono::steady_clock::time_point deadline) {
  return outgoing_.awaitEmpty(deadline);
}

void Connection::announceDrops(std::uint64_t dropped) {
  if (dropped == 0) {
    return;
  }
  std::function<void(std::uint64_t)> handler;
  {
    std::scoped_lock lock(stateMutex_);
    handler = dropNoticeHandler_;
  }
  if (!handler) {
    return;
  }
  outgoing_.beginNotice();
  callQuietly(handler, dropped);
  outgoing_.endNotice();
}

void Connection::failPending(std::uint64_t id, const Error& error) {
  std::function<void(const Error&)> onError;
  {
    std::scoped_lock lock(stateMutex_);
    auto it = pending_.find(id);
    if (it == pending_.end()) {
      return;
    }
    onError = std::move(it->second.onError);
    pending_.erase(it);
  }
  callQuietly(onError, error);
}

Connection::Admission Connection::admit() {
  auto admission = Admission::closed;
  const auto opened = outgoing_.open([&admission](int socket) {
    // Anything queued now was sent before the peer was admitted, possibly by code that has
    // since exec'd the program that passed admission: it must not be read under that identity.
    auto queued = seqpacket::anythingQueued(socket);
    admission = !queued ? Admission::failed : *queued ? Admission::sentEarly : Admission::admitted;
    const auto welcome = Frame{Frame::Kind::welcome, 0, {}, {}}.encode();
    if (admission == Admission::admitted && !seqpacket::sendDatagram(socket, welcome, {}, true)) {
      admission = Admission::failed;
    }
    return admission == Admission::admitted;
  });
  if (!opened) {
    return admission;
  }
  std::scoped_lock lock(stateMutex_);
  admitted_ = true;
  startReaderLocked();
  return Admission::admitted;
}

std::optional<Error> Connection::connectClient(int& fd) {
  if (path_.empty()) {
    return Error(Error::invalid, "connect " + label_ + ": invalid service name");
  }
  auto connected = seqpacket::connectTo(path_);
  if (!connected) {
    return Error(Error::invalid, connected.error().description());
  }
  fd = connected->get();
  outgoing_.attach(std::move(*connected));
  {
    std::scoped_lock lock(stateMutex_);
    liveFd_ = fd;
    if (invalidated_) {
      return endError(Ending::invalidated);
    }
  }
  auto peer = seqpacket::peerIdentity(fd);
  if (!peer) {
    return Error(Error::invalid, "connect " + path_ + ": " + peer.error().description());
  }
  if (privileged_ && peer->uid != 0) {
    return Error(Error::invalid, "connect " + path_ + ": service runs as uid " +
                                     std::to_string(peer->uid) + ", not as root");
  }
  {
    std::scoped_lock lock(stateMutex_);
    pid_ = peer->pid;
    token_ = AuditToken::make(peer->pid, peer->uid, peer->gid, peer->startTime);
    pidfd_ = std::move(peer->pidfd);
  }
  auto first = seqpacket::receiveDatagram(fd);
  std::optional<Frame> welcome;
  if (first && !first->endOfStream && !first->truncated && first->descriptors.empty()) {
    welcome = Frame::decode(first->bytes);
  }
  if (!welcome || welcome->kind != Frame::Kind::welcome) {
    if (isInvalidated()) {
      return endError(Ending::invalidated);
    }
    return Error(Error::invalid, "connect " + path_ + ": refused by the service");
  }
  const auto dropped = outgoing_.open([](int /*socket*/) { return true; });
  if (!dropped) {
    return endError(Ending::invalidated);
  }
  announceDrops(*dropped);
  return std::nullopt;
}

void Connection::run() {
  int fd = -1;
  if (side_ == Side::client) {
    if (auto failure = connectClient(fd)) {
      finish(Ending::failed, std::move(failure));
      return;
    }
  } else {
    std::scoped_lock lock(stateMutex_);
    fd = liveFd_;
  }
  Ending ending = wake_ ? serve(fd) : Ending::failed;
  if (isInvalidated()) {
    ending = Ending::invalidated;
  }
  finish(ending, std::nullopt);
}

Connection::Ending Connection::serve(int fd) {
  std::int32_t peerPid = 0;
  int peerPidfd = -1;
  std::optional<seqpacket::ProcessKey> peerKey;
  {
    std::scoped_lock lock(stateMutex_);
    peerPid = pid_;
    peerPidfd = pidfd_.get();  // closed only by finish(), which runs on this thread now
    peerKey = peerKey_;
  }
  for (;;) {
    const bool sending = outgoing_.hasWaiting();
    // A peer whose replies pile up unread is not read from until it catches up.
    const bool reading = !outgoing_.isOverBound();
    // The admitted process has ended: whoever still holds the socket is not it.
    auto ready = seqpacket::waitForSocket(fd, reading, sending, wake_.get(),
                                          side_ == Side::server ? peerPidfd : -1);
    if (!ready || ready->exited) {
      return Ending::interrupted;
    }
    if (ready->woken) {
      posix::drainWake(wake_.get());
    }
    if (ready->writable) {
      announceDrops(outgoing_.flush());
    }
    if (!ready->readable) {
      continue;
    }
    auto datagram = seqpacket::receiveDatagram(fd, true);
    if (!datagram) {
      if (datagram.error().code == EAGAIN || datagram.error().code == EWOULDBLOCK) {
        continue;
      }
      return Ending::interrupted;
    }
    if (datagram->endOfStream) {
      return Ending::interrupted;
    }
    if (datagram->truncated) {
      return Ending::invalidated;
    }
    if (side_ == Side::server) {
      // The socket may be shared (fork, SCM_RIGHTS): who connected is not always who sends.
      switch (seqpacket::judgeSender(datagram->sender, peerPid, peerPidfd, peerKey)) {
        case seqpacket::SenderVerdict::peer:
          break;
        case seqpacket::SenderVerdict::peerGone:
          return Ending::interrupted;
        case seqpacket::SenderVerdict::other: {
          const auto sender = datagram->sender ? datagram->sender->pid : 0;
          callQuietly(report_, "invalidated " + label_ + ": a message came from pid " +
                                   std::to_string(sender) + ", not from pid " +
                                   std::to_string(peerPid));
          return Ending::invalidated;
        }
      }
    }
    bool good = false;
    try {
      auto frame = Frame::decode(datagram->bytes);
      good = frame && handle(*frame, std::move(datagram->descriptors));
    } catch (const std::exception&) {
      good = false;
    }
    if (!good) {
      return Ending::invalidated;
    }
  }
}

bool Connection::handle(const Frame& frame, std::vector<posix::UniqueFd> descriptors) {
  std::optional<std::string> requirement;
  std::optional<AuditToken> token;
  {
    std::scoped_lock lock(stateMutex_);
    if (invalidated_) {
      return false;
    }
    requirement = requirement_;
    token = token_;
  }
  if (requirement) {
    bool satisfied = false;
    try {
      satisfied = check_ && token && check_(*token, *requirement);
    } catch (...) {
      satisfied = false;
    }
    if (!satisfied) {
      return false;
    }
  }

  switch (frame.kind) {
    case Frame::Kind::call: {
      std::optional<MethodSignature> method;
      std::shared_ptr<ExportedObject> object;
      {
        std::scoped_lock lock(stateMutex_);
        if (const auto* found =
                exportedInterface_ ? exportedInterface_->method(frame.selector) : nullptr) {
          method = *found;
        }
        object = exportedObject_;
      }
      if (!method || (frame.id == 0) != !method->reply) {
        return false;
      }
      auto values =
          decodeValues(frame.arguments, method->arguments, method->argumentClasses, descriptors);
      if (!values) {
        return false;
      }
      Reply reply = method->reply ? Reply(weak_from_this(), frame.id, frame.selector) : Reply();
      if (!object) {
        return true;  // the unsent reply answers with an error
      }
      try {
        object->dispatch(frame.selector, std::move(*values), std::move(reply));
      } catch (...) {
        return false;
      }
      return true;
    }
    case Frame::Kind::reply:
    case Frame::Kind::error: {
      Pending pending;
      std::optional<MethodSignature> method;
      {
        std::scoped_lock lock(stateMutex_);
        auto it = pending_.find(frame.id);
        if (it == pending_.end()) {
          return false;
        }
        pending = std::move(it->second);
        pending_.erase(it);
        if (const auto* found =
                remoteInterface_ ? remoteInterface_->method(pending.selector) : nullptr) {
          method = *found;
        }
      }
      if (frame.kind == Frame::Kind::error) {
        callQuietly(pending.onError, Error(Error::replyInvalid,
                                           pending.selector + ": the remote object sent no reply"));
        return descriptors.empty();
      }
      if (!method || !method->reply) {
        callQuietly(pending.onError, Error(Error::replyInvalid, pending.selector + ": bad reply"));
        return false;
      }
      auto values =
          decodeValues(frame.arguments, *method->reply, method->replyClasses, descriptors);
      if (!values) {
        callQuietly(pending.onError,
                    Error(Error::replyInvalid, pending.selector + ": " + values.error()));
        return false;
      }
      callQuietly(pending.onReply, std::move(*values));
      return true;
    }
    case Frame::Kind::welcome:
      return false;
  }
  return false;
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
