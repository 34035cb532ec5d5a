#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sealed_bundle.hpp"
#include "platform/codesign/signed_file.hpp"
#include "platform/posix/process_identity.hpp"
#include "platform/xpc/audit_token.hpp"

namespace vantreel::platform::codesign {
namespace {

// The requirement, when given, is judged before any code is read.
tl::expected<VerifiedSignature, OSStatus> verifyStatic(
    const SecStaticCode& code, const std::shared_ptr<SecRequirement>& requirement) {
  if (code.kind() == SecStaticCode::Kind::file) {
    return SignedFile::verify(code.fd(), requirement.get());
  }
  return SealedBundle::verify(code.fd(), requirement.get()).map([](SealedBundle&& sealed) {
    return std::move(sealed.signature);
  });
}

OSStatus judge(const tl::expected<VerifiedSignature, OSStatus>& signature) {
  return signature ? errSecSuccess : signature.error();
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
    return judge(SignedFile::verify(code->staticCode()->fd(), requirement.get()));
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
    return judge(verifyStatic(*staticCode, requirement));
  }

  tl::expected<VerifiedSignature, OSStatus> SecCodeCopySigningInformation(
      const std::shared_ptr<SecStaticCode>& staticCode, SecCSFlags flags) override {
    if (!staticCode) {
      return tl::unexpected(errSecCSObjectRequired);
    }
    if (flags != kSecCSDefaultFlags) {
      return tl::unexpected(errSecCSInvalidFlags);
    }
    return verifyStatic(*staticCode, nullptr);
  }
};
// NOLINTEND(readability-identifier-naming)

}  // namespace

CodeSigning& CodeSigning::real() {
  static RealCodeSigning instance;
  return instance;
}

}  // namespace vantreel::platform::codesign
