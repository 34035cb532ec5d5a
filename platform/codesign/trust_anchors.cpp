#include "platform/codesign/trust_anchors.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <vector>

#include "platform/codesign/openssl_handles.hpp"
#include "platform/posix/check.hpp"

namespace vantreel::platform::codesign {

// Written by the build from the configured anchor PEM.
extern const char* const kEmbeddedAnchorPem;

struct TrustAnchors::Certificates {
  std::vector<openssl::Owned<X509>> list;
};

void TrustAnchors::StoreDeleter::operator()(X509_STORE* store) const noexcept {
  X509_STORE_free(store);
}

tl::expected<TrustAnchors, std::string> TrustAnchors::fromPem(std::string_view pem) {
  openssl::Owned<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    return tl::unexpected(std::string("anchors: out of memory"));
  }
  auto certificates = std::make_shared<Certificates>();
  for (;;) {
    openssl::Owned<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
      break;
    }
    certificates->list.push_back(std::move(certificate));
  }
  // The loop ends on the error "no start line" at the end of the text; anything else is real.
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  if (ERR_GET_REASON(error) != PEM_R_NO_START_LINE && error != 0) {
    return tl::unexpected(std::string("anchors: malformed PEM certificate"));
  }
  if (certificates->list.empty()) {
    return tl::unexpected(std::string("anchors: no certificate in PEM text"));
  }
  return TrustAnchors(std::move(certificates));
}

const TrustAnchors& TrustAnchors::embedded() {
  static const TrustAnchors anchors = [] {
    auto parsed = fromPem(kEmbeddedAnchorPem);
    // The build refuses an anchor file that does not parse, so this only fails on a broken build.
    VT_CHECK(parsed.has_value());
    return std::move(*parsed);
  }();
  return anchors;
}

std::size_t TrustAnchors::count() const noexcept { return certificates_->list.size(); }

TrustAnchors::Store TrustAnchors::newStore() const {
  Store store(X509_STORE_new());
  if (!store) {
    return store;
  }
  for (const auto& certificate : certificates_->list) {
    if (X509_STORE_add_cert(store.get(), certificate.get()) != 1) {
      return Store();
    }
  }
  return store;
}

}  // namespace vantreel::platform::codesign
