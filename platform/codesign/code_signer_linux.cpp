#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/cms_signature.hpp"
#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/code_signer.hpp"
#include "platform/codesign/embedded_signature.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/posix/io.hpp"

namespace vantreel::platform::codesign {
namespace {

constexpr std::uint64_t kMaxSignedFileSize = std::uint64_t{1} << 30;

tl::expected<void, std::string> replaceFile(const std::string& path,
                                            std::span<const std::uint8_t> bytes,
                                            std::filesystem::perms mode) {
  // Written beside the target and renamed over it, so a reader sees the old or the new file.
  const std::string temporary = path + ".signing";
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  auto fd = posix::openFile(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (!fd) {
    return tl::unexpected(fd.error().description());
  }
  if (auto written = posix::writeAll(fd->get(), std::as_bytes(bytes)); !written) {
    std::filesystem::remove(temporary, ignored);
    return tl::unexpected("write " + temporary + ": " + written.error().description());
  }
  fd->reset();
  std::error_code error;
  std::filesystem::permissions(temporary, mode, error);
  if (!error) {
    std::filesystem::rename(temporary, path, error);
  }
  if (error) {
    std::filesystem::remove(temporary, ignored);
    return tl::unexpected("replace " + path + ": " + error.message());
  }
  return {};
}

}  // namespace

tl::expected<void, std::string> CodeSigner::signElf(const std::string& path,
                                                    const std::string& identifier,
                                                    const SigningIdentity& identity) {
  if (!CodeDirectory::isValidIdentifier(identifier)) {
    return tl::unexpected("sign " + path + ": invalid identifier '" + identifier + "'");
  }
  const auto real = file_access::realPath(path);
  if (!real) {
    return tl::unexpected(real.error().description());
  }
  const auto fd = file_access::openForReading(*real);
  if (!fd) {
    return tl::unexpected(fd.error().description());
  }
  const auto status = file_access::status(fd->get());
  if (!status || status->type != file_access::Type::regular) {
    return tl::unexpected("sign " + path + ": not a regular file");
  }
  if (status->size > kMaxSignedFileSize) {
    return tl::unexpected("sign " + path + ": file too large");
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status->size));
  if (auto read = file_access::readAt(fd->get(), 0, bytes); !read) {
    return tl::unexpected("read " + path + ": " + read.error().description());
  }
  if (bytes.size() >= EmbeddedSignature::kTrailerSize) {
    const auto layout = EmbeddedSignature::locate(
        bytes.size(), std::span(bytes).last(EmbeddedSignature::kTrailerSize));
    if (layout) {
      bytes.resize(static_cast<std::size_t>(layout->contentSize));
    } else if (layout.error() != errSecCSUnsigned) {
      return tl::unexpected("sign " + path + ": malformed signature trailer");
    }
  }
  constexpr std::uint8_t kElfMagic[] = {0x7f, 'E', 'L', 'F'};
  if (bytes.size() < sizeof kElfMagic ||
      !std::equal(std::begin(kElfMagic), std::end(kElfMagic), bytes.begin())) {
    return tl::unexpected("sign " + path +
                          ": not an ELF file (scripts are covered by their bundle's seal)");
  }
  const auto digest = Sha256::of(bytes);
  const CodeDirectory directory{identifier, std::string(CodeDirectory::kKindElf),
                                std::vector<std::uint8_t>(digest.begin(), digest.end()),
                                bytes.size()};
  const auto signature = CmsSignature::sign(directory, identity);
  if (!signature) {
    return tl::unexpected(signature.error() + " (" + path + ")");
  }
  bytes.insert(bytes.end(), signature->begin(), signature->end());
  const auto trailer = EmbeddedSignature::trailer(signature->size());
  bytes.insert(bytes.end(), trailer.begin(), trailer.end());
  std::error_code error;
  const auto mode = std::filesystem::status(*real, error).permissions();
  if (error) {
    return tl::unexpected("stat " + path + ": " + error.message());
  }
  return replaceFile(*real, bytes, mode);
}

tl::expected<void, std::string> CodeSigner::sealBundle(const std::string& path,
                                                       const std::string& identifier,
                                                       const SigningIdentity& identity) {
  if (!CodeDirectory::isValidIdentifier(identifier)) {
    return tl::unexpected("seal " + path + ": invalid identifier '" + identifier + "'");
  }
  const auto real = file_access::realPath(path);
  if (!real) {
    return tl::unexpected(real.error().description());
  }
  if (!real->ends_with(".app")) {
    return tl::unexpected("seal " + path + ": a bundle's name ends in .app");
  }
  const auto root = file_access::openDirectory(*real);
  if (!root) {
    return tl::unexpected(root.error().description());
  }
  const auto contents = file_access::openDirectoryAt(root->get(), "Contents");
  if (!contents) {
    return tl::unexpected("seal " + path + ": " + contents.error().description());
  }
  const std::filesystem::path folder =
      std::filesystem::path(*real) / std::string(BundleManifest::kSealFolder);
  std::error_code error;
  std::filesystem::remove_all(folder, error);
  if (error) {
    return tl::unexpected("remove " + folder.string() + ": " + error.message());
  }
  const auto manifest = BundleManifest::build(root->get());
  if (!manifest) {
    return tl::unexpected("seal " + path + ": contents cannot be sealed (status " +
                          std::to_string(manifest.error()) + ")");
  }
  const auto digest = Sha256::of(*manifest);
  const CodeDirectory directory{identifier, std::string(CodeDirectory::kKindBundle),
                                std::vector<std::uint8_t>(digest.begin(), digest.end())};
  const auto signature = CmsSignature::sign(directory, identity);
  if (!signature) {
    return tl::unexpected(signature.error() + " (" + path + ")");
  }
  std::filesystem::create_directory(folder, error);
  if (error) {
    return tl::unexpected("create " + folder.string() + ": " + error.message());
  }
  constexpr auto readable =
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
      std::filesystem::perms::group_read | std::filesystem::perms::others_read;
  if (auto written = replaceFile((folder / "CodeManifest").string(), *manifest, readable);
      !written) {
    return written;
  }
  return replaceFile((folder / "CodeResources").string(), *signature, readable);
}

}  // namespace vantreel::platform::codesign
