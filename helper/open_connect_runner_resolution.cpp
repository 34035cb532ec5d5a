#include <algorithm>
#include <array>
#include <filesystem>
#include <random>
#include <system_error>

#include "helper/open_connect_runner.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/sha256.hpp"
#include "platform/codesign/vouched_digest.hpp"
#include "platform/posix/host_info.hpp"
#include "platform/posix/io.hpp"
#include "platform/service/host.hpp"
#include "shared/constants.hpp"

namespace vantreel {
namespace {

namespace codesign = platform::codesign;
namespace file_access = platform::codesign::file_access;
namespace service = platform::service;

constexpr std::string_view kOpenConnectRoot = "Contents/Resources/extra/openconnect";
constexpr std::array<std::string_view, 3> kAdmittedItems = {
    "vpnc-script", "darwin-arm64/openconnect", "darwin-amd64/openconnect"};
// Far above any real OpenConnect; a file swapped in after the check cannot make us read more.
constexpr std::uint64_t kMaxCopyBytes = std::uint64_t{256} * 1024 * 1024;

std::string appending(const std::string& base, std::string_view component) {
  std::string path = base;
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += component;
  return path;
}

// Every start compiles it anew: the text is fixed, and a failure must refuse, never yield a
// null requirement (which would check the signature alone).
std::shared_ptr<codesign::SecRequirement> teamRequirement() {
  auto requirement = codesign::CodeSigning::real().SecRequirementCreateWithString(
      "anchor apple generic and certificate leaf[subject.OU] = \"" + Constants::teamID() + "\"",
      codesign::kSecCSDefaultFlags);
  return requirement ? *requirement : nullptr;
}

// What a valid signature under the Team ID vouches for: the file at path signed on its own
// (resource empty), or the sealed resource of the bundle at path.
std::optional<codesign::VouchedDigest> vouchedByTeam(const std::string& path,
                                                     std::string_view resource) {
  const auto requirement = teamRequirement();
  if (!requirement) {
    return std::nullopt;
  }
  auto& services = codesign::CodeSigning::real();
  const auto code = services.SecStaticCodeCreateWithPath(path, codesign::kSecCSDefaultFlags);
  if (!code) {
    return std::nullopt;
  }
  auto vouched = codesign::SecStaticCodeCopyVouchedDigest(*code, requirement, resource);
  if (!vouched) {
    return std::nullopt;
  }
  return *vouched;
}

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
tl::expected<void, RunnerError> copyItem(const OpenConnectRunner::VerifiedItem& item,
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

OpenConnectRunner::VerifiedCopies::~VerifiedCopies() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::string OpenConnectRunner::currentDarwinArch() {
  const std::string machine = platform::posix::machineHardwareName();
  return machine == "arm64" || machine == "aarch64" ? "darwin-arm64" : "darwin-amd64";
}

tl::expected<OpenConnectRunner::VerifiedItem, RunnerError> OpenConnectRunner::verifyItem(
    const std::string& item, const std::string& appBundle) {
  const auto realItem = file_access::realPath(item);
  const auto realBundle = file_access::realPath(appBundle);
  if (!realItem || !realBundle) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  const std::string root = appending(*realBundle, kOpenConnectRoot);
  const std::string prefix = root.back() == '/' ? root : root + "/";
  if (*realItem != root && realItem->compare(0, prefix.size(), prefix) != 0) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  const std::string relative = *realItem == root ? std::string() : realItem->substr(prefix.size());
  if (std::find(kAdmittedItems.begin(), kAdmittedItems.end(), relative) == kAdmittedItems.end()) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  auto vouched = vouchedByTeam(*realItem, {});
  if (!vouched) {
    vouched = vouchedByTeam(*realBundle, appending(std::string(kOpenConnectRoot), relative));
  }
  if (!vouched) {
    return tl::unexpected(RunnerError::unsignedBinary());
  }
  return VerifiedItem{*realItem, vouched->digest, vouched->signedLength};
}

tl::expected<void, RunnerError> OpenConnectRunner::verifyBundled(const std::string& item,
                                                                 const std::string& appBundle) {
  return verifyItem(item, appBundle).map([](const VerifiedItem&) {});
}

tl::expected<OpenConnectRunner::VerifiedItem, RunnerError>
OpenConnectRunner::resolveOpenConnectItem(const std::string& appBundle) {
  const std::string root = appending(appBundle, kOpenConnectRoot);
  const std::string native = currentDarwinArch();
  const std::string other = native == "darwin-arm64" ? "darwin-amd64" : "darwin-arm64";
  for (const auto& directory : {native, other}) {
    const std::string candidate = appending(appending(root, directory), "openconnect");
    if (service::isExecutableFile(candidate)) {
      return verifyItem(candidate, appBundle);
    }
  }
  return tl::unexpected(RunnerError::openConnectMissing());
}

tl::expected<OpenConnectRunner::VerifiedItem, RunnerError> OpenConnectRunner::resolveVpncScriptItem(
    const std::string& appBundle) {
  const std::string script = appending(appending(appBundle, kOpenConnectRoot), "vpnc-script");
  // Opening is the one test of "may read" that also holds for root, whose access(2) passes
  // nearly everything.
  const auto readable = file_access::openForReading(script);
  if (!readable) {
    return tl::unexpected(RunnerError::scriptMissing());
  }
  const auto status = file_access::status(readable->get());
  if (!status || status->type != file_access::Type::regular) {
    return tl::unexpected(RunnerError::scriptMissing());
  }
  return verifyItem(script, appBundle);
}

tl::expected<std::string, RunnerError> OpenConnectRunner::resolveOpenConnect(
    const std::string& appBundle) {
  return resolveOpenConnectItem(appBundle).map([](const VerifiedItem& item) { return item.path; });
}

tl::expected<std::string, RunnerError> OpenConnectRunner::resolveVpncScript(
    const std::string& appBundle) {
  return resolveVpncScriptItem(appBundle).map([](const VerifiedItem& item) { return item.path; });
}

tl::expected<std::shared_ptr<OpenConnectRunner::VerifiedCopies>, RunnerError>
OpenConnectRunner::makeVerifiedCopies(const VerifiedItem& program, const VerifiedItem& script,
                                      const std::string& copiesDirectory) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::create_directories(copiesDirectory, error)) {
    fs::permissions(copiesDirectory, fs::perms(0755), fs::perm_options::replace, error);
  }
  std::shared_ptr<VerifiedCopies> copies;
  for (int attempt = 0; attempt < 8 && !copies; ++attempt) {
    const std::string directory = appending(copiesDirectory, "openconnect." + randomSuffix());
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
  const std::string lockPath = appending(copies->directory(), VerifiedCopies::lockName);
  auto lock = platform::posix::lockFile(lockPath + ".new", true);
  if (!lock) {
    return tl::unexpected(RunnerError::spawnFailed(lock.error().description()));
  }
  fs::rename(lockPath + ".new", lockPath, error);
  if (error) {
    return tl::unexpected(RunnerError::spawnFailed("rename " + lockPath + ": " + error.message()));
  }
  copies->holdLock(std::move(*lock));
  if (auto copied = copyItem(program, copies->program()); !copied) {
    return tl::unexpected(copied.error());
  }
  if (auto copied = copyItem(script, copies->script()); !copied) {
    return tl::unexpected(copied.error());
  }
  return copies;
}

}  // namespace vantreel
