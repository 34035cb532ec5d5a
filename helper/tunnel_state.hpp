#pragma once

#include <string_view>

namespace vantreel {

// The state of the tunnel as the status reports it, "idle", "authenticating", "connected" or
// "stopping", followed from the runner's steps and its child's lines; and whether OpenConnect is
// getting a lost link back, which only a connected tunnel does. Not thread-safe: the runner's
// lock guards it.
class TunnelState {
 public:
  static constexpr std::string_view kIdle = "idle";
  static constexpr std::string_view kAuthenticating = "authenticating";
  static constexpr std::string_view kConnected = "connected";
  static constexpr std::string_view kStopping = "stopping";

  void launched();
  void stopping();
  void ended();
  // A line of the running child's.
  void follow(std::string_view line);

  [[nodiscard]] std::string_view name() const { return name_; }
  [[nodiscard]] bool reconnecting() const { return reconnecting_ && name_ == kConnected; }

 private:
  void setReconnecting(bool reconnecting);

  std::string_view name_ = kIdle;
  bool reconnecting_ = false;
};

}  // namespace vantreel
