#include "platform/codesign/cms_signature.hpp"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>

#include "platform/codesign/openssl_handles.hpp"

namespace vantreel::platform::codesign {
namespace {

// OpenSSL's error queue is per thread; a failed call must not leave entries behind to be
// blamed on an unrelated later call of the same thread.
struct ClearErrorsOnExit {
  ClearErrorsOnExit() = default;
  ClearErrorsOnExit(const ClearErrorsOnExit&) = delete;
  ClearErrorsOnExit& operator=(const ClearErrorsOnExit&) = delete;
  ~ClearErrorsOnExit() { ERR_clear_error(); }
};

std::optional<std::string> singleOrganizationalUnit(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
  // A subject naming several units names no single team; refuse to pick one.
  if (index < 0 || X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, index) >= 0) {
    return std::nullopt;
  }
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, data);
  if (length < 0) {
    return std::nullopt;
  }
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  if (text.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return text;
}

bool mayCodeSign(X509* leaf) {
  // Without the extension OpenSSL reports every usage as allowed; a code-signing leaf must
  // say so explicitly.
  return (X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) != 0 &&
         (X509_get_extended_key_usage(leaf) & XKU_CODE_SIGN) != 0;
}

bool chainReachesAnchor(X509* leaf, STACK_OF(X509) * carried, const TrustAnchors& anchors) {
  const auto store = anchors.newStore();
  openssl::Owned<X509_STORE_CTX> context(X509_STORE_CTX_new());
  if (!store || !context || X509_STORE_CTX_init(context.get(), store.get(), leaf, carried) != 1) {
    return false;
  }
  // OpenSSL 3.0 knows no code-signing purpose: allow any here and check the leaf's extended
  // key usage separately.
  if (X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY) != 1) {
    return false;
  }
  return X509_verify_cert(context.get()) == 1;
}

}  // namespace

tl::expected<std::vector<std::uint8_t>, std::string> CmsSignature::sign(
    const CodeDirectory& directory, const SigningIdentity& identity) {
  const ClearErrorsOnExit clear;
  const auto content = directory.encode();
  openssl::Owned<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  if (!in) {
    return tl::unexpected(std::string("sign: out of memory"));
  }
  openssl::Owned<CMS_ContentInfo> cms(CMS_sign(identity.certificate(), identity.key(),
                                               identity.chain(), in.get(),
                                               CMS_BINARY | CMS_NOSMIMECAP));
  if (!cms) {
    return tl::unexpected(std::string("sign: CMS signing failed"));
  }
  unsigned char* der = nullptr;
  const int length = i2d_CMS_ContentInfo(cms.get(), &der);
  if (length <= 0) {
    return tl::unexpected(std::string("sign: CMS encoding failed"));
  }
  std::vector<std::uint8_t> out(der, der + length);
  OPENSSL_free(der);
  if (out.size() > kMaxSize) {
    return tl::unexpected(std::string("sign: signature larger than allowed"));
  }
  return out;
}

tl::expected<VerifiedSignature, OSStatus> CmsSignature::verify(std::span<const std::uint8_t> der,
                                                               const TrustAnchors& anchors) {
  const ClearErrorsOnExit clear;
  if (der.empty() || der.size() > kMaxSize) {
    return tl::unexpected(errSecCSBadObjectFormat);
  }
  const unsigned char* cursor = der.data();
  openssl::Owned<CMS_ContentInfo> cms(
      d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cms || cursor != der.data() + der.size() ||
      OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    return tl::unexpected(errSecCSBadObjectFormat);
  }
  if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  openssl::Owned<BIO> content(BIO_new(BIO_s_mem()));
  if (!content) {
    return tl::unexpected(errSecCSInternalError);
  }
  // The signer's chain is judged below against our own anchors, not by CMS_verify.
  if (CMS_verify(cms.get(), nullptr, nullptr, nullptr, content.get(),
                 CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(content.get(), &data);
  if (size < 0 || data == nullptr) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  const auto directory = CodeDirectory::decode(
      std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  if (!directory) {
    return tl::unexpected(errSecCSBadObjectFormat);
  }
  openssl::BorrowedCertificates signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) != 1) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  X509* leaf = sk_X509_value(signers.get(), 0);
  openssl::Owned<STACK_OF(X509)> carried(CMS_get1_certs(cms.get()));

  VerifiedSignature out;
  out.identifier = directory->identifier;
  out.kind = directory->kind;
  out.digest = directory->digest;
  out.length = directory->length;
  out.teamID = singleOrganizationalUnit(leaf);
  out.anchored = mayCodeSign(leaf) && chainReachesAnchor(leaf, carried.get(), anchors);
  return out;
}

}  // namespace vantreel::platform::codesign
