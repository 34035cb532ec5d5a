#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>
#include <tl/expected.hpp>

namespace vantreel::platform::codesign {

// A private key with its leaf certificate and the intermediates to ship beside it, read from
// PEM files. Only the signing tool holds one; the daemon never does.
class SigningIdentity {
 public:
  // chainPath may be empty. The error text names the file that could not be used.
  [[nodiscard]] static tl::expected<SigningIdentity, std::string> load(
      const std::string& keyPath, const std::string& certPath, const std::string& chainPath);

  // Owned by this identity; the chain may be empty.
  [[nodiscard]] EVP_PKEY* key() const noexcept;
  [[nodiscard]] X509* certificate() const noexcept;
  [[nodiscard]] STACK_OF(X509) * chain() const noexcept;

 private:
  struct Material;
  explicit SigningIdentity(std::shared_ptr<const Material> material)
      : material_(std::move(material)) {}
  std::shared_ptr<const Material> material_;
};

}  // namespace vantreel::platform::codesign
