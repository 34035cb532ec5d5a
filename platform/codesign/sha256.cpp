#include "platform/codesign/sha256.hpp"

#include <openssl/evp.h>

#include "platform/posix/check.hpp"

namespace vantreel::platform::codesign {

void Sha256::ContextDeleter::operator()(EVP_MD_CTX* context) const noexcept {
  EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  VT_CHECK(context_ != nullptr);
  VT_CHECK(EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1);
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  VT_CHECK(EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1);
}

Sha256::Digest Sha256::finish() {
  Digest digest{};
  unsigned int length = 0;
  VT_CHECK(EVP_DigestFinal_ex(context_.get(), digest.data(), &length) == 1);
  VT_CHECK(length == digest.size());
  return digest;
}

Sha256::Digest Sha256::of(std::span<const std::uint8_t> bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

}  // namespace vantreel::platform::codesign
