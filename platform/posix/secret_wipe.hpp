#pragma once

#include <string>

// The one way a secret (a password, a session cookie, a line that held one) is wiped, by the
// daemon and the tool alike: every byte the string owns, its spare capacity included, since a
// shrunk or cleared string keeps the old bytes beyond its size.
namespace vantreel::platform::posix {

void wipeSecret(std::string& secret) noexcept;

// Wipes a secret when the scope that holds it ends, however it ends.
class WipedOnExit {
 public:
  explicit WipedOnExit(std::string& secret) noexcept : secret_(secret) {}
  ~WipedOnExit() { wipeSecret(secret_); }
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;

 private:
  std::string& secret_;
};

}  // namespace vantreel::platform::posix
