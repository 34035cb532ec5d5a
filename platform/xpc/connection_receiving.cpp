#include <cerrno>
#include <exception>
#include <utility>

#include "platform/posix/io.hpp"
#include "platform/xpc/call_quietly.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/reply.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

// What a connection reads: the dispatch of the peer's calls and the completion of its replies.
namespace vantreel::platform::xpc {

Connection::Ending Connection::serve(int fd) {
  const int exitFd = exitWatch();
  for (;;) {
    const bool sending = outgoing_.hasWaiting();
    // A peer whose replies pile up unread is not read from until it catches up.
    const bool reading = !outgoing_.isOverBound();
    auto ready = seqpacket::waitForSocket(fd, reading, sending, wake_.get(), exitFd);
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
    if (auto ending = receiveOne(fd)) {
      return *ending;
    }
  }
}

std::optional<Connection::Ending> Connection::receiveOne(int fd) {
  auto datagram = seqpacket::receiveDatagram(fd, true);
  if (!datagram) {
    if (datagram.error().code == EAGAIN || datagram.error().code == EWOULDBLOCK) {
      return std::nullopt;
    }
    return Ending::interrupted;
  }
  if (datagram->endOfStream) {
    return Ending::interrupted;
  }
  if (datagram->truncated) {
    return Ending::invalidated;
  }
  if (auto refused = judgeSender(datagram->sender)) {
    return refused;
  }
  bool good = false;
  try {
    auto frame = Frame::decode(datagram->bytes);
    good = frame && handle(*frame, std::move(datagram->descriptors));
  } catch (const std::exception&) {
    good = false;
  }
  return good ? std::nullopt : std::optional(Ending::invalidated);
}

bool Connection::handle(const Frame& frame, std::vector<posix::UniqueFd> descriptors) {
  if (isInvalidated() || !permitsMessage()) {
    return false;
  }
  switch (frame.kind) {
    case Frame::Kind::call:
      return dispatchCall(frame, descriptors);
    case Frame::Kind::reply:
    case Frame::Kind::error:
      return completeReply(frame, descriptors);
    case Frame::Kind::welcome:
      return false;
  }
  return false;
}

bool Connection::dispatchCall(const Frame& frame, std::vector<posix::UniqueFd>& descriptors) {
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

bool Connection::completeReply(const Frame& frame, std::vector<posix::UniqueFd>& descriptors) {
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
    callQuietly(pending.onError,
                Error(Error::replyInvalid, pending.selector + ": the remote object sent no reply"));
    return descriptors.empty();
  }
  if (!method || !method->reply) {
    callQuietly(pending.onError, Error(Error::replyInvalid, pending.selector + ": bad reply"));
    return false;
  }
  auto values = decodeValues(frame.arguments, *method->reply, method->replyClasses, descriptors);
  if (!values) {
    callQuietly(pending.onError,
                Error(Error::replyInvalid, pending.selector + ": " + values.error()));
    return false;
  }
  callQuietly(pending.onReply, std::move(*values));
  return true;
}

}  // namespace vantreel::platform::xpc
