#include "platform/xpc/audit_token.hpp"

#include <algorithm>

namespace vantreel::platform::xpc {
namespace {

template <class T>
void put(std::array<std::byte, AuditToken::kSize>& out, std::size_t at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[at + i] = static_cast<std::byte>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xffU);
  }
}

template <class T>
T get(const std::array<std::byte, AuditToken::kSize>& in, std::size_t at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<std::uint64_t>(in[at + i]) << (8 * i);
  }
  return static_cast<T>(value);
}

}  // namespace

AuditToken AuditToken::make(std::int32_t pid, std::uint32_t uid, std::uint32_t gid,
                            std::uint64_t startTime) {
  AuditToken token;
  put(token.bytes_, 0, static_cast<std::uint32_t>(pid));
  put(token.bytes_, 4, uid);
  put(token.bytes_, 8, gid);
  put(token.bytes_, 16, startTime);
  return token;
}

std::optional<AuditToken> AuditToken::fromBytes(std::span<const std::byte> bytes) {
  if (bytes.size() != kSize) {
    return std::nullopt;
  }
  AuditToken token;
  std::copy(bytes.begin(), bytes.end(), token.bytes_.begin());
  const auto zero = [&](std::size_t from, std::size_t to) {
    return std::all_of(token.bytes_.begin() + static_cast<std::ptrdiff_t>(from),
                       token.bytes_.begin() + static_cast<std::ptrdiff_t>(to),
                       [](std::byte b) { return b == std::byte{0}; });
  };
  if (!zero(12, 16) || !zero(24, 32)) {
    return std::nullopt;
  }
  return token;
}

std::int32_t AuditToken::pid() const noexcept {
  return static_cast<std::int32_t>(get<std::uint32_t>(bytes_, 0));
}
std::uint32_t AuditToken::uid() const noexcept { return get<std::uint32_t>(bytes_, 4); }
std::uint32_t AuditToken::gid() const noexcept { return get<std::uint32_t>(bytes_, 8); }
std::uint64_t AuditToken::startTime() const noexcept { return get<std::uint64_t>(bytes_, 16); }

}  // namespace vantreel::platform::xpc
