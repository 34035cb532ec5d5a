#include "helper/verified_copies.hpp"

#include <filesystem>
#include <random>
#include <system_error>

#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/posix/io.hpp"
#include "platform/service/host.hpp"

namespace vantreel {
namespace {

namespace codesign = platform::codesign;
namespace file_access = platform::codesign::file_access;
namespace service = platform::service;

// Far above any real OpenConnect; a file swapped in after the check cannot make us read more.
constexpr std::uint64_t kMaxCopyBytes = std::uint64_t{256} * 1024 * 1024;

std::string randomSuffix() {
  static constexpr std::string_view digits = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device device;
  std::string suffix;
  for (int i = 0; i < 12; ++i) {
    suffix += digits[device() % digits.size()];
  }
  return suffix;
}

// Reads the vouched bytes of item without following a link at its last component, checks
// them against the digest and writes them to destination. A mismatch means the bundle changed
// after it was verified.
tl::expected<void, RunnerError> copyItem(const BundleItems::VerifiedItem& item,
                                         const std::string& destination) {
  const auto directory = file_access::openDirectory(service::deletingLastPathComponent(item.path));
  if (!directory) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  const auto file =
      file_access::openFileAt(directory->get(), service::lastPathComponent(item.path));
  if (!file) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  const auto status = file_access::status(file->get());
  if (!status || status->type != file_access::Type::regular) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  const std::uint64_t length = item.signedLength.value_or(status->size);
  if (length > status->size || length > kMaxCopyBytes) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (!file_access::readAt(file->get(), 0, bytes)) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  if (codesign::Sha256::of(bytes) != item.digest) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  const auto written = service::writeFileAtomically(
      destination, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
      0700);
  if (!written) {
    return tl::unexpected(RunnerError::spawnFailed(written.error().description()));
  }
  return {};
}

}  // namespace

VerifiedCopies::~VerifiedCopies() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> VerifiedCopies::make(
    const BundleItems::VerifiedItem& program, const BundleItems::VerifiedItem& script,
    const std::string& copiesDirectory) {
  auto copies = fresh(copiesDirectory);
  if (!copies) {
    return copies;
  }
  if (auto copied = copyItem(program, (*copies)->program()); !copied) {
    return tl::unexpected(copied.error());
  }
  if (auto copied = copyItem(script, (*copies)->script()); !copied) {
    return tl::unexpected(copied.error());
  }
  return copies;
}

tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> VerifiedCopies::makeFrom(
    const std::string& kept, const std::string& copiesDirectory) {
  auto copies = fresh(copiesDirectory);
  if (!copies) {
    return copies;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  for (const auto& [from, to] : {std::pair{kept + "/openconnect", (*copies)->program()},
                                 std::pair{kept + "/vpnc-script", (*copies)->script()}}) {
    fs::copy_file(from, to, error);
    if (!error) {
      fs::permissions(to, fs::perms::owner_all, fs::perm_options::replace, error);
    }
    if (error) {
      return tl::unexpected(RunnerError::spawnFailed("copy " + from + ": " + error.message()));
    }
  }
  return copies;
}

tl::expected<std::shared_ptr<VerifiedCopies>, RunnerError> VerifiedCopies::fresh(
    const std::string& copiesDirectory) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::create_directories(copiesDirectory, error)) {
    fs::permissions(copiesDirectory, fs::perms(0755), fs::perm_options::replace, error);
  }
  std::shared_ptr<VerifiedCopies> copies;
  for (int attempt = 0; attempt < 8 && !copies; ++attempt) {
    const std::string directory = copiesDirectory + "/openconnect." + randomSuffix();
    if (fs::create_directory(directory, error)) {
      copies = std::make_shared<VerifiedCopies>(directory);
    } else if (error) {
      break;
    }
  }
  if (!copies) {
    return tl::unexpected(RunnerError::spawnFailed("create directory in " + copiesDirectory + ": " +
                                                   error.message()));
  }
  fs::permissions(copies->directory(), fs::perms::owner_all, fs::perm_options::replace, error);
  if (error) {
    return tl::unexpected(
        RunnerError::spawnFailed("chmod " + copies->directory() + ": " + error.message()));
  }
  // Locked under another name first: a lock file that a starting daemon finds is held from
  // the moment it bears its name.
  const std::string lockPath = copies->directory() + "/" + std::string(lockName);
  auto lock = platform::posix::lockFile(lockPath + ".new", true);
  if (!lock) {
    return tl::unexpected(RunnerError::spawnFailed(lock.error().description()));
  }
  fs::rename(lockPath + ".new", lockPath, error);
  if (error) {
    return tl::unexpected(RunnerError::spawnFailed("rename " + lockPath + ": " + error.message()));
  }
  copies->holdLock(std::move(*lock));
  return copies;
}

}  // namespace vantreel
