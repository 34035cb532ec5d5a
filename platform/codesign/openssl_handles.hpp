#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

// Owners for the OpenSSL objects code signing uses, so that every path releases them.
namespace vantreel::platform::codesign::openssl {

struct Free {
  void operator()(BIO* p) const noexcept { BIO_free_all(p); }
  void operator()(CMS_ContentInfo* p) const noexcept { CMS_ContentInfo_free(p); }
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
  void operator()(X509* p) const noexcept { X509_free(p); }
  void operator()(X509_STORE* p) const noexcept { X509_STORE_free(p); }
  void operator()(X509_STORE_CTX* p) const noexcept { X509_STORE_CTX_free(p); }
  void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};

template <class T>
using Owned = std::unique_ptr<T, Free>;

// A stack that only borrows its certificates (CMS_get0_signers and the like).
struct FreeStackOnly {
  void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_free(p); }
};
using BorrowedCertificates = std::unique_ptr<STACK_OF(X509), FreeStackOnly>;

}  // namespace vantreel::platform::codesign::openssl
