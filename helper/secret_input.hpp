#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "helper/runner_error.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/pipe.hpp"

// How a start's secret (a password or a session cookie) comes in from the caller and goes on to
// OpenConnect, and nowhere else: never into an argument, the environment or the log. Every
// buffer that held it is wiped before it is given up.
namespace vantreel::SecretInput {

inline constexpr std::size_t kMaxBytes = 8192;

// The text before the first line feed of at most kMaxBytes bytes that the client writes before
// closing its end. A client that neither closes nor fills the pipe is cut off at the deadline,
// or sooner once interrupt (an eventfd) is readable; the pipe is read through a description of
// the daemon's own, so that what the client does with its own ends cannot make the read outlast
// the deadline.
[[nodiscard]] tl::expected<std::string, RunnerError> read(platform::process::FileHandle& pipe,
                                                          std::chrono::milliseconds deadline,
                                                          int interrupt);

// The child's standard input, holding the secret and one line feed before the child runs (at
// most kMaxBytes + 1 bytes, which a pipe takes at once), so that nothing after the launch can
// fail and leave a child that is not recorded.
[[nodiscard]] tl::expected<platform::process::Pipe, RunnerError> childInputCarrying(
    const std::string& secret);

[[nodiscard]] bool isValidUtf8(std::string_view bytes);

}  // namespace vantreel::SecretInput
