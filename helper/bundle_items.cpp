#include "helper/bundle_items.hpp"

#include <algorithm>
#include <array>

#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/file_access.hpp"
#include "platform/codesign/vouched_digest.hpp"
#include "platform/posix/host_info.hpp"
#include "platform/service/host.hpp"
#include "shared/constants.hpp"

namespace vantreel::BundleItems {
namespace {

namespace codesign = platform::codesign;
namespace file_access = platform::codesign::file_access;
namespace service = platform::service;

constexpr std::string_view kOpenConnectRoot = "Contents/Resources/extra/openconnect";
constexpr std::array<std::string_view, 3> kAdmittedItems = {
    "vpnc-script", "darwin-arm64/openconnect", "darwin-amd64/openconnect"};

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

}  // namespace

std::string currentDarwinArch() {
  const std::string machine = platform::posix::machineHardwareName();
  return machine == "arm64" || machine == "aarch64" ? "darwin-arm64" : "darwin-amd64";
}

tl::expected<VerifiedItem, RunnerError> verify(const std::string& item,
                                               const std::string& appBundle) {
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

tl::expected<VerifiedItem, RunnerError> openConnect(const std::string& appBundle) {
  const std::string root = appending(appBundle, kOpenConnectRoot);
  const std::string native = currentDarwinArch();
  const std::string other = native == "darwin-arm64" ? "darwin-amd64" : "darwin-arm64";
  for (const auto& directory : {native, other}) {
    const std::string candidate = appending(appending(root, directory), "openconnect");
    if (service::isExecutableFile(candidate)) {
      return verify(candidate, appBundle);
    }
  }
  return tl::unexpected(RunnerError::openConnectMissing());
}

tl::expected<VerifiedItem, RunnerError> vpncScript(const std::string& appBundle) {
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
  return verify(script, appBundle);
}

}  // namespace vantreel::BundleItems
