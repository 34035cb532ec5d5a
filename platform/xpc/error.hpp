#pragma once

#include <string>
#include <utility>

namespace vantreel::platform::xpc {

// Why a message got no reply. The codes are those the platform's XPC layer uses.
class Error {
 public:
  static constexpr int interrupted = 4097;   // the peer went away
  static constexpr int invalid = 4099;       // the connection could not be made or has ended
  static constexpr int replyInvalid = 4101;  // the message or its reply was refused

  Error(int code, std::string description) : code_(code), description_(std::move(description)) {}

  [[nodiscard]] int code() const noexcept { return code_; }
  [[nodiscard]] const std::string& description() const noexcept { return description_; }

 private:
  int code_;
  std::string description_;
};

}  // namespace vantreel::platform::xpc
