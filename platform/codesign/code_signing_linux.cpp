#include <algorithm>

#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sealed_bundle.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/trust_anchors.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/xpc/audit_token.hpp"

namespace vantreel::platform::codesign {
namespace {

bool sameDigest(const std::vector<std::uint8_t>& claimed, const Sha256::Digest& actual) {
  return claimed.size() == actual.size() &&
         std::equal(claimed.begin(), claimed.end(), actual.begin());
}

tl::expected<std::vector<std::uint8_t>, OSStatus> readRange(int fd, std::uint64_t offset,
                                                            std::uint64_t size) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!file_access::readAt(fd, offset, bytes)) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  return bytes;
}

// An executable file: its appended signature, then the digest of the bytes before it, read
// from the descriptor (the inode examined stays the one opened).
tl::expected<VerifiedSignature, OSStatus> verifyFile(int fd) {
  const auto status = file_access::status(fd);
  if (!status || status->type != file_access::Type::regular) {
    return tl::unexpected(errSecCSStaticCodeNotFound);
  }
  if (status->size < EmbeddedSignature::kTrailerSize) {
    return tl::unexpected(errSecCSUnsigned);
  }
  const auto tail = readRange(fd, status->size - EmbeddedSignature::kTrailerSize,
                              EmbeddedSignature::kTrailerSize);
  if (!tail) {
    return tl::unexpected(tail.error());
  }
  const auto layout = EmbeddedSignature::locate(status->size, *tail);
  if (!layout) {
    return tl::unexpected(layout.error());
  }
  const auto der = readRange(fd, layout->contentSize, layout->signatureSize);
  if (!der) {
    return tl::unexpected(der.error());
  }
  auto signature = CmsSignature::verify(*der, TrustAnchors::embedded());
  if (!signature) {
    return signature;
  }
  // Refused before a byte is hashed: otherwise a copied signature on a file padded with a
  // huge hole would cost the time to hash the hole.
  if (signature->kind != CodeDirectory::kKindElf || signature->length != layout->contentSize) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  Sha256 hash;
  std::vector<std::uint8_t> buffer(std::size_t{256} * 1024);
  for (std::uint64_t offset = 0; offset < layout->contentSize;) {
    const auto chunk = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size(), layout->contentSize - offset));
    if (!file_access::readAt(fd, offset, std::span(buffer).first(chunk))) {
      return tl::unexpected(errSecCSSignatureFailed);
    }
    hash.update(std::span(buffer).first(chunk));
    offset += chunk;
  }
  if (!sameDigest(signature->digest, hash.finish())) {
    return tl::unexpected(errSecCSSignatureFailed);
  }
  return signature;
}

// A bundle: the seal in Contents/_CodeSignature/CodeResources against a fresh manifest.
tl::expected<VerifiedSignature, OSStatus> verifyBundle(int rootFd) {
  return SealedBundle::verify(rootFd).map(
      [](const SealedBundle& sealed) { return sealed.signature; });
}

tl::expected<VerifiedSignature, OSStatus> verifyStatic(const SecStaticCode& code) {
  return code.kind() == SecStaticCode::Kind::bundle ? verifyBundle(code.fd())
                                                    : verifyFile(code.fd());
}

OSStatus judge(const tl::expected<VerifiedSignature, OSStatus>& signature,
               const std::shared_ptr<SecRequirement>& requirement) {
  if (!signature) {
    return signature.error();
  }
  if (requirement && !requirement->isSatisfiedBy(*signature)) {
    return errSecCSReqFailed;
  }
  return errSecSuccess;
}

bool endsWithApp(const std::string& path) {
  constexpr std::string_view suffix = ".app";
  return path.size() > suffix.size() &&
         path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// NOLINTBEGIN(readability-identifier-naming)
class RealCodeSigning final : public CodeSigning {
 public:
  tl::expected<std::shared_ptr<SecCode>, OSStatus> SecCodeCopyGuestWithAttributes(
      std::span<const std::byte> auditToken, SecCSFlags flags) override {
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    const auto token = xpc::AuditToken::fromBytes(auditToken);
    if (!token) {
      return tl::unexpected(errSecCSInvalidAttributeValues);
    }
    if (token->pid() <= 0) {
      return tl::unexpected(errSecCSNoSuchCode);
    }
    // The pidfd pins the process named by pid and start time; whatever is read through /proc
    // afterwards counts only if that process is still alive after the read.
    auto pidfd = posix::openPidfd(token->pid(), token->startTime());
    if (!pidfd) {
      return tl::unexpected(errSecCSNoSuchCode);
    }
    const std::string exePath = posix::procPath(token->pid(), "exe");
    auto exe = file_access::openForReading(exePath);
    auto path = file_access::readLink(exePath);
    if (!exe || !path || !posix::pidfdSendSignal(pidfd->get(), 0)) {
      return tl::unexpected(errSecCSNoSuchCode);
    }
    const auto status = file_access::status(exe->get());
    if (!status || status->type != file_access::Type::regular) {
      return tl::unexpected(errSecCSNoSuchCode);
    }
    auto staticCode =
        std::make_shared<SecStaticCode>(SecStaticCode::Kind::file, std::move(*path),
                                        std::make_shared<const posix::UniqueFd>(std::move(*exe)));
    return std::make_shared<SecCode>(token->pid(), std::move(*pidfd), std::move(staticCode),
                                     status->device, status->inode);
  }

  tl::expected<std::shared_ptr<SecRequirement>, OSStatus> SecRequirementCreateWithString(
      std::string_view text, SecCSFlags flags) override {
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    return SecRequirement::compile(text);
  }

  OSStatus SecCodeCheckValidity(const std::shared_ptr<SecCode>& code, SecCSFlags flags,
                                const std::shared_ptr<SecRequirement>& requirement) override {
    if (!code) {
      return errSecCSObjectRequired;
    }
    if (flags != kSecCSDefaultFlags) {
      return errSecCSInvalidFlags;
    }
    // pid and start time survive execve: a process that has since executed another program
    // must not keep the verdict of the one it was looked up with.
    const auto now = file_access::openForReading(posix::procPath(code->pid(), "exe"));
    if (!now || !posix::pidfdSendSignal(code->pidfd(), 0)) {
      return errSecCSNoSuchCode;
    }
    const auto status = file_access::status(now->get());
    if (!status || status->device != code->device() || status->inode != code->inode()) {
      return errSecCSGuestInvalid;
    }
    return judge(verifyFile(code->staticCode()->fd()), requirement);
  }

  tl::expected<std::shared_ptr<SecStaticCode>, OSStatus> SecCodeCopyStaticCode(
      const std::shared_ptr<SecCode>& code, SecCSFlags flags) override {
    if (!code) {
      return tl::unexpected(errSecCSObjectRequired);
    }
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    return code->staticCode();
  }

  tl::expected<std::string, OSStatus> SecCodeCopyPath(
      const std::shared_ptr<SecStaticCode>& staticCode, SecCSFlags flags) override {
    if (!staticCode) {
      return tl::unexpected(errSecCSObjectRequired);
    }
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    return staticCode->path();
  }

  tl::expected<std::shared_ptr<SecStaticCode>, OSStatus> SecStaticCodeCreateWithPath(
      const std::string& path, SecCSFlags flags) override {
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    auto real = file_access::realPath(path);
    if (!real) {
      return tl::unexpected(errSecCSStaticCodeNotFound);
    }
    auto fd = file_access::openForReading(*real);
    if (!fd) {
      return tl::unexpected(errSecCSStaticCodeNotFound);
    }
    const auto status = file_access::status(fd->get());
    if (!status) {
      return tl::unexpected(errSecCSStaticCodeNotFound);
    }
    SecStaticCode::Kind kind = SecStaticCode::Kind::file;
    if (status->type == file_access::Type::directory && endsWithApp(*real)) {
      kind = SecStaticCode::Kind::bundle;
    } else if (status->type != file_access::Type::regular) {
      return tl::unexpected(errSecCSStaticCodeNotFound);
    }
    return std::make_shared<SecStaticCode>(kind, std::move(*real),
                                           std::make_shared<const posix::UniqueFd>(std::move(*fd)));
  }

  OSStatus SecStaticCodeCheckValidity(const std::shared_ptr<SecStaticCode>& staticCode,
                                      SecCSFlags flags,
                                      const std::shared_ptr<SecRequirement>& requirement) override {
    if (!staticCode) {
      return errSecCSObjectRequired;
    }
    if ((flags & ~kSecCSCheckAllArchitectures) != 0) {
      return errSecCSInvalidFlags;
    }
    return judge(verifyStatic(*staticCode), requirement);
  }

  tl::expected<VerifiedSignature, OSStatus> SecCodeCopySigningInformation(
      const std::shared_ptr<SecStaticCode>& staticCode, SecCSFlags flags) override {
    if (!staticCode) {
      return tl::unexpected(errSecCSObjectRequired);
    }
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    return verifyStatic(*staticCode);
  }
};
// NOLINTEND(readability-identifier-naming)

}  // namespace

CodeSigning& CodeSigning::real() {
  static RealCodeSigning instance;
  return instance;
}

}  // namespace vantreel::platform::codesign
