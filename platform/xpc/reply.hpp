#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/xpc/value.hpp"

namespace vantreel::platform::xpc {

class Connection;

// The one answer owed for one incoming call. It may be sent from any thread, at any later
// time, exactly once; a Reply dropped unsent answers the caller with an error instead, so the
// caller's side always runs exactly one of its reply or error handler. The Reply of a one-way
// message is empty and sending it does nothing.
class Reply {
 public:
  Reply() = default;
  Reply(Reply&& other) noexcept = default;
  Reply& operator=(Reply&& other) noexcept;
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  ~Reply();

  // Values that do not match the reply the interface declares are not sent; the caller gets
  // an error instead.
  void send(std::vector<Value> values);
  [[nodiscard]] bool expectsReply() const noexcept { return !connection_.expired(); }

 private:
  friend class Connection;
  Reply(std::weak_ptr<Connection> connection, std::uint64_t id, std::string selector)
      : connection_(std::move(connection)), id_(id), selector_(std::move(selector)) {}
  void abandon() noexcept;

  std::weak_ptr<Connection> connection_;
  std::uint64_t id_ = 0;
  std::string selector_;
};

}  // namespace vantreel::platform::xpc
