#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace vantreel::platform::codesign {

// The certificates a signing chain must reach to count as anchored: the PEM compiled in by the
// build (the development CA unless a release anchor was configured).
class TrustAnchors {
 public:
  [[nodiscard]] static const TrustAnchors& embedded();
  [[nodiscard]] static tl::expected<TrustAnchors, std::string> fromPem(std::string_view pem);

  [[nodiscard]] std::size_t count() const noexcept;

  struct StoreDeleter {
    void operator()(X509_STORE* store) const noexcept;
  };
  using Store = std::unique_ptr<X509_STORE, StoreDeleter>;
  // A fresh store holding every anchor, for one chain check; null when out of memory.
  [[nodiscard]] Store newStore() const;

 private:
  struct Certificates;
  explicit TrustAnchors(std::shared_ptr<const Certificates> certificates)
      : certificates_(std::move(certificates)) {}
  std::shared_ptr<const Certificates> certificates_;
};

}  // namespace vantreel::platform::codesign
