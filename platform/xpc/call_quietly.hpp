#pragma once

#include <utility>

namespace vantreel::platform::xpc {

// Runs a handler the program gave the transport, if there is one: whatever it throws is its own
// failure and must not end the connection's thread.
template <class F, class... Args>
void callQuietly(const F& f, Args&&... args) noexcept {
  if (!f) {
    return;
  }
  try {
    f(std::forward<Args>(args)...);
  } catch (...) {  // NOLINT(bugprone-empty-catch): a handler's failure is its own
  }
}

}  // namespace vantreel::platform::xpc
