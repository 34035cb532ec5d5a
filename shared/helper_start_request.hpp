#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/archived_object.hpp"
#include "platform/xpc/keyed_unarchiver.hpp"

namespace vantreel {

// The arguments of a tunnel start as they cross the connection. Unchecked: the receiver
// validates them before any use. The password is never part of it.
class HelperStartRequest {
 public:
  static constexpr std::string_view className = "VTHelperStartRequest";

  HelperStartRequest(std::string server, std::string username,
                     std::optional<std::string> servercert);

  [[nodiscard]] const std::string& server() const noexcept { return server_; }
  [[nodiscard]] const std::string& username() const noexcept { return username_; }
  [[nodiscard]] const std::optional<std::string>& servercert() const noexcept {
    return servercert_;
  }

  [[nodiscard]] platform::xpc::ArchivedObject archive() const;
  // Nothing when the archive is of another class or lacks a string "server" or "username".
  [[nodiscard]] static std::optional<HelperStartRequest> decode(
      const platform::xpc::KeyedUnarchiver& coder);

  // Safe to log: tells only whether a pin is present, never its value.
  [[nodiscard]] std::string description() const;

  friend bool operator==(const HelperStartRequest&, const HelperStartRequest&) = default;

 private:
  std::string server_;
  std::string username_;
  std::optional<std::string> servercert_;
};

}  // namespace vantreel
