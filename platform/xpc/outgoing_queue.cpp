#include "platform/xpc/outgoing_queue.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/xpc/seqpacket_socket.hpp"

namespace vantreel::platform::xpc {

void OutgoingQueue::attach(posix::UniqueFd socket) {
  std::scoped_lock lock(mutex_);
  socket_ = std::move(socket);
}

std::optional<std::uint64_t> OutgoingQueue::open(const std::function<bool(int socket)>& handshake) {
  std::scoped_lock lock(mutex_);
  if (closed_ || !handshake(socket_.get())) {
    return std::nullopt;
  }
  open_ = true;
  return flushLocked();
}

OutgoingQueue::Pushed OutgoingQueue::push(Message message) {
  std::scoped_lock lock(mutex_);
  Pushed pushed;
  if (closed_) {
    return pushed;
  }
  pushed.accepted = true;
  const bool noticing =
      std::find(noticing_.begin(), noticing_.end(), std::this_thread::get_id()) != noticing_.end();
  if (message.droppable && !noticing && waitingBytes_ + message.bytes.size() > kBound) {
    ++dropped_;
    return pushed;
  }
  waitingBytes_ += message.bytes.size();
  waiting_.push_back(std::move(message));
  if (open_) {
    pushed.drops = flushLocked();
  }
  pushed.waiting = !waiting_.empty();
  return pushed;
}

std::uint64_t OutgoingQueue::takeDrops() {
  std::scoped_lock lock(mutex_);
  return std::exchange(dropped_, 0);
}

std::uint64_t OutgoingQueue::flush() {
  std::scoped_lock lock(mutex_);
  return flushLocked();
}

bool OutgoingQueue::hasWaiting() {
  std::scoped_lock lock(mutex_);
  return !waiting_.empty();
}

bool OutgoingQueue::isOverBound() {
  std::scoped_lock lock(mutex_);
  return waitingBytes_ >= kBound;
}

bool OutgoingQueue::awaitEmpty(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return emptied_.wait_until(lock, deadline, [this] { return waiting_.empty() || closed_; }) &&
         waiting_.empty();
}

void OutgoingQueue::close() {
  std::deque<Message> unsent;
  {
    std::scoped_lock lock(mutex_);
    closed_ = true;
    open_ = false;
    unsent.swap(waiting_);
    waitingBytes_ = 0;
    socket_.reset();
  }
  emptied_.notify_all();
}

void OutgoingQueue::beginNotice() {
  std::scoped_lock lock(mutex_);
  noticing_.push_back(std::this_thread::get_id());
}

void OutgoingQueue::endNotice() {
  std::scoped_lock lock(mutex_);
  noticing_.erase(std::find(noticing_.begin(), noticing_.end(), std::this_thread::get_id()));
}

std::uint64_t OutgoingQueue::flushLocked() {
  while (!waiting_.empty() && socket_) {
    const auto& next = waiting_.front();
    std::vector<int> descriptors;
    descriptors.reserve(next.descriptors.size());
    for (const auto& fd : next.descriptors) {
      descriptors.push_back(fd.get());
    }
    auto sent = seqpacket::sendDatagram(socket_.get(), next.bytes, descriptors, true);
    if (!sent && (sent.error().code == EAGAIN || sent.error().code == EWOULDBLOCK)) {
      return 0;
    }
    // A peer that has gone shows as the end of the stream to the connection's thread; what
    // it can no longer read goes.
    waitingBytes_ -= next.bytes.size();
    waiting_.pop_front();
  }
  emptied_.notify_all();
  return std::exchange(dropped_, 0);
}

}  // namespace vantreel::platform::xpc
