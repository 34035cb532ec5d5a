#include "helper/secret_input.hpp"

#include <unicode/utf8.h>

#include <cstdint>

#include "platform/posix/secret_wipe.hpp"

namespace vantreel::SecretInput {

using platform::posix::WipedOnExit;

tl::expected<std::string, RunnerError> read(platform::process::FileHandle& pipe,
                                            std::chrono::milliseconds deadline, int interrupt) {
  auto bytes =
      pipe.readPipeOfLength(kMaxBytes, std::chrono::steady_clock::now() + deadline, interrupt);
  if (!bytes) {
    return tl::unexpected(RunnerError::passwordReadFailed());
  }
  const WipedOnExit wiped(*bytes);
  if (bytes->empty() || !isValidUtf8(*bytes)) {
    return tl::unexpected(RunnerError::passwordReadFailed());
  }
  std::string secret = bytes->substr(0, bytes->find('\n'));
  if (secret.empty()) {
    return tl::unexpected(RunnerError::passwordReadFailed());
  }
  return secret;
}

tl::expected<platform::process::Pipe, RunnerError> childInputCarrying(const std::string& secret) {
  auto input = platform::process::Pipe::make();
  if (!input) {
    return tl::unexpected(RunnerError::spawnFailed(input.error().description()));
  }
  std::string line;
  const WipedOnExit wiped(line);
  line.reserve(secret.size() + 1);
  line += secret;
  line += '\n';
  if (auto written = input->fileHandleForWriting()->writeData(line); !written) {
    return tl::unexpected(RunnerError::spawnFailed(written.error().description()));
  }
  [[maybe_unused]] const auto closed = input->fileHandleForWriting()->close();
  return std::move(*input);
}

bool isValidUtf8(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
    return false;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int32_t>(bytes.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(data, i, length, c);
    if (c < 0) {
      return false;
    }
  }
  return true;
}

}  // namespace vantreel::SecretInput
