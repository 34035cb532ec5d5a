#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vantreel::platform::xpc {

// The kernel's identity of a connection's peer, packed into the 32 opaque bytes that callers
// pass around: pid, uid, gid and the process start time (so a recycled pid never matches a
// token taken from the process it replaced). Layout, little-endian: pid int32 at 0, uid
// uint32 at 4, gid uint32 at 8, zero at 12..15, start time uint64 at 16, zero at 24..31.
class AuditToken {
 public:
  static constexpr std::size_t kSize = 32;

  static AuditToken make(std::int32_t pid, std::uint32_t uid, std::uint32_t gid,
                         std::uint64_t startTime);
  // Accepts exactly kSize bytes whose reserved bytes are zero.
  static std::optional<AuditToken> fromBytes(std::span<const std::byte> bytes);

  [[nodiscard]] const std::array<std::byte, kSize>& bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::int32_t pid() const noexcept;
  [[nodiscard]] std::uint32_t uid() const noexcept;
  [[nodiscard]] std::uint32_t gid() const noexcept;
  [[nodiscard]] std::uint64_t startTime() const noexcept;

  friend bool operator==(const AuditToken&, const AuditToken&) = default;

 private:
  AuditToken() = default;
  std::array<std::byte, kSize> bytes_{};
};

}  // namespace vantreel::platform::xpc
