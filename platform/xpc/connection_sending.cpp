#include <utility>

#include "platform/posix/io.hpp"
#include "platform/xpc/call_quietly.hpp"
#include "platform/xpc/connection.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

// What a connection sends: calls, replies, and the count of one-way messages it dropped.
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

bool fitsOneDatagram(const std::vector<std::uint8_t>& bytes, std::size_t descriptors) {
  return bytes.size() <= seqpacket::kMaxDatagram && descriptors <= seqpacket::kMaxDescriptors;
}

}  // namespace

void RemoteProxy::send(const std::string& selector, std::vector<Value> arguments,
                       std::function<void(std::vector<Value>)> onReply) const {
  connection_->sendCall(selector, std::move(arguments), std::move(onReply), errorHandler_);
}

void Connection::sendCall(const std::string& selector, std::vector<Value> arguments,
                          std::function<void(std::vector<Value>)> onReply,
                          const std::function<void(const Error&)>& onError) {
  tl::expected<EncodedCall, Error> call;
  {
    std::scoped_lock lock(stateMutex_);
    call = encodeCallLocked(selector, arguments, static_cast<bool>(onReply));
    if (call) {
      if (call->id != 0) {
        pending_[call->id] = Pending{selector, std::move(onReply), onError};
      }
      used_ = true;
      startReaderLocked();
    }
  }
  if (!call) {
    callQuietly(onError, call.error());
    return;
  }
  if (!deliver(std::move(call->message)) && call->id != 0) {
    failPending(call->id, endError(Ending::interrupted));
  }
}

tl::expected<Connection::EncodedCall, Error> Connection::encodeCallLocked(
    const std::string& selector, std::vector<Value>& arguments, bool withReply) {
  const MethodSignature* method = remoteInterface_ ? remoteInterface_->method(selector) : nullptr;
  if (invalidated_) {
    return tl::unexpected(endError(Ending::invalidated));
  }
  if (method == nullptr) {
    return tl::unexpected(Error(Error::replyInvalid, selector + ": not in the remote interface"));
  }
  if (!method->reply && withReply) {
    return tl::unexpected(
        Error(Error::replyInvalid, selector + ": one-way message given a reply handler"));
  }
  auto encoded = encodeValues(arguments, method->arguments, method->argumentClasses);
  if (!encoded) {
    return tl::unexpected(Error(Error::replyInvalid, selector + ": " + encoded.error()));
  }
  EncodedCall call;
  call.id = method->reply ? nextId_ : 0;
  call.message.bytes =
      Frame{Frame::Kind::call, call.id, selector, std::move(encoded->arguments)}.encode();
  if (!fitsOneDatagram(call.message.bytes, encoded->descriptors.size())) {
    return tl::unexpected(Error(Error::replyInvalid, selector + ": message too large"));
  }
  call.message.descriptors = takeDescriptors(arguments);
  call.message.droppable = call.id == 0;
  nextId_ += call.id != 0 ? 1 : 0;
  return call;
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
    if (!encoded || !fitsOneDatagram(outgoing.bytes, encoded->descriptors.size())) {
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

}  // namespace vantreel::platform::xpc
