#include "platform/codesign/signing_identity.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdio>

#include "platform/codesign/openssl_handles.hpp"

namespace vantreel::platform::codesign {

struct SigningIdentity::Material {
  openssl::Owned<EVP_PKEY> key;
  openssl::Owned<X509> certificate;
  openssl::Owned<STACK_OF(X509)> chain;
};

namespace {

openssl::Owned<BIO> openPem(const std::string& path) {
  return openssl::Owned<BIO>(BIO_new_file(path.c_str(), "r"));
}

}  // namespace

tl::expected<SigningIdentity, std::string> SigningIdentity::load(const std::string& keyPath,
                                                                 const std::string& certPath,
                                                                 const std::string& chainPath) {
  auto material = std::make_shared<Material>();
  {
    auto bio = openPem(keyPath);
    if (bio) {
      material->key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!material->key) {
      ERR_clear_error();
      return tl::unexpected("read key " + keyPath + ": not a readable PEM private key");
    }
  }
  {
    auto bio = openPem(certPath);
    if (bio) {
      material->certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    if (!material->certificate) {
      ERR_clear_error();
      return tl::unexpected("read certificate " + certPath + ": not a readable PEM certificate");
    }
  }
  if (X509_check_private_key(material->certificate.get(), material->key.get()) != 1) {
    ERR_clear_error();
    return tl::unexpected("read key " + keyPath + ": does not belong to " + certPath);
  }
  material->chain.reset(sk_X509_new_null());
  if (!material->chain) {
    return tl::unexpected(std::string("signing identity: out of memory"));
  }
  if (!chainPath.empty()) {
    auto bio = openPem(chainPath);
    if (!bio) {
      ERR_clear_error();
      return tl::unexpected("read chain " + chainPath + ": cannot open");
    }
    for (;;) {
      openssl::Owned<X509> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
      if (!certificate) {
        break;
      }
      if (sk_X509_push(material->chain.get(), certificate.get()) == 0) {
        return tl::unexpected(std::string("signing identity: out of memory"));
      }
      static_cast<void>(certificate.release());
    }
    ERR_clear_error();
    if (sk_X509_num(material->chain.get()) == 0) {
      return tl::unexpected("read chain " + chainPath + ": no PEM certificate");
    }
  }
  return SigningIdentity(std::move(material));
}

EVP_PKEY* SigningIdentity::key() const noexcept { return material_->key.get(); }
X509* SigningIdentity::certificate() const noexcept { return material_->certificate.get(); }
STACK_OF(X509) * SigningIdentity::chain() const noexcept { return material_->chain.get(); }

}  // namespace vantreel::platform::codesign
