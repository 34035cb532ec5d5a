#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

namespace vantreel::platform::codesign {

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void update(std::span<const std::uint8_t> bytes);
  [[nodiscard]] Digest finish();

  [[nodiscard]] static Digest of(std::span<const std::uint8_t> bytes);

 private:
  struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const noexcept;
  };
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
};

}  // namespace vantreel::platform::codesign
