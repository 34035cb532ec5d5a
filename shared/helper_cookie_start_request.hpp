#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/xpc/archived_object.hpp"
#include "platform/xpc/keyed_unarchiver.hpp"

namespace vantreel {

// A tunnel start for a session the user has already signed in to, with what the unprivileged
// sign-in printed. Unchecked: the receiver validates it before any use. The cookie is never
// part of it: it comes through a pipe as a password does.
class HelperCookieStartRequest {
 public:
  static constexpr std::string_view className = "VTHelperCookieStartRequest";

  HelperCookieStartRequest(std::string connectURL, std::string servercert,
                           std::optional<std::string> resolve);

  [[nodiscard]] const std::string& connectURL() const noexcept { return connectURL_; }
  [[nodiscard]] const std::string& servercert() const noexcept { return servercert_; }
  // host:address, to reach the host the sign-in reached without a name lookup as root.
  [[nodiscard]] const std::optional<std::string>& resolve() const noexcept { return resolve_; }

  [[nodiscard]] platform::xpc::ArchivedObject archive() const;
  // Nothing when the archive is of another class or lacks a string "connectURL" or
  // "servercert".
  [[nodiscard]] static std::optional<HelperCookieStartRequest> decode(
      const platform::xpc::KeyedUnarchiver& coder);

  [[nodiscard]] std::string description() const;

  friend bool operator==(const HelperCookieStartRequest&,
                         const HelperCookieStartRequest&) = default;

 private:
  std::string connectURL_;
  std::string servercert_;
  std::optional<std::string> resolve_;
};

}  // namespace vantreel
