#include "platform/xpc/reply.hpp"

#include "platform/xpc/connection.hpp"

namespace vantreel::platform::xpc {

Reply& Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    abandon();
    connection_ = std::move(other.connection_);
    other.connection_.reset();
    id_ = other.id_;
    selector_ = std::move(other.selector_);
  }
  return *this;
}

Reply::~Reply() { abandon(); }

void Reply::send(std::vector<Value> values) {
  auto connection = connection_.lock();
  connection_.reset();
  if (connection) {
    connection->sendReply(id_, selector_, std::move(values));
  }
}

void Reply::abandon() noexcept {
  auto connection = connection_.lock();
  connection_.reset();
  if (connection) {
    try {
      connection->sendError(id_);
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the caller hears at the end
    }
  }
}

}  // namespace vantreel::platform::xpc
