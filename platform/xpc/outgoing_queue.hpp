#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::xpc {

// The frames on their way to one peer, and the socket they leave by. Sending never waits for
// the peer: a frame goes out at once when the socket takes it, else waits here, at most kBound
// bytes in all, for the connection's thread to send it as the peer reads. Replies and calls
// always join the queue; one-way messages that would exceed the bound are dropped and counted,
// and the count is handed out to be told once the queue has emptied again, or before the next
// reply joins it. Safe from any thread.
class OutgoingQueue {
 public:
  // Beyond this many bytes waiting, one-way messages are dropped and nothing more should be
  // read from the peer.
  static constexpr std::size_t kBound = std::size_t{256} * 1024;

  struct Message {
    std::vector<std::uint8_t> bytes;
    std::vector<posix::UniqueFd> descriptors;
    bool droppable = false;  // a one-way message
  };
  struct Pushed {
    bool accepted = false;    // false: the queue is closed, the message is lost
    bool waiting = false;     // something waits for the socket to take it
    std::uint64_t drops = 0;  // dropped messages to tell of now
  };

  // The socket of a client connection, once connected; nothing leaves before open().
  void attach(posix::UniqueFd socket);
  // Runs handshake on the socket, under the queue's lock so that no frame can go out before
  // it, and opens the queue when it answers true: what waits goes out then. The drops to tell
  // of, or nullopt when the queue was closed (handshake not run) or handshake said false.
  [[nodiscard]] std::optional<std::uint64_t> open(const std::function<bool(int socket)>& handshake);
  [[nodiscard]] Pushed push(Message message);
  // Drops not yet told of, taken: the peer hears of them before the next reply.
  [[nodiscard]] std::uint64_t takeDrops();
  // Sends what waits until the socket would block; the drops to tell of once it has emptied.
  [[nodiscard]] std::uint64_t flush();
  [[nodiscard]] bool hasWaiting();
  // Whether the peer has left so much unread that it should not be read from until it catches up.
  [[nodiscard]] bool isOverBound();
  // Until everything queued so far has left, the queue was closed, or the deadline passed;
  // true when nothing is left to send.
  bool awaitEmpty(std::chrono::steady_clock::time_point deadline);
  // Drops what waits and closes the socket; nothing is queued any more.
  void close();

  // While the calling thread tells of drops, its one-way messages are never dropped: they are
  // what tells of the others.
  void beginNotice();
  void endNotice();

 private:
  [[nodiscard]] std::uint64_t flushLocked();

  std::mutex mutex_;  // guards every member below
  std::condition_variable emptied_;
  posix::UniqueFd socket_;
  bool open_ = false;  // the handshake is done: frames may go out
  bool closed_ = false;
  std::deque<Message> waiting_;
  std::size_t waitingBytes_ = 0;
  std::uint64_t dropped_ = 0;              // dropped and not yet told of
  std::vector<std::thread::id> noticing_;  // threads telling of drops
};

}  // namespace vantreel::platform::xpc
