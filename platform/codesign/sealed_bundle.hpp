#pragma once

#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/bundle_manifest.hpp"
#include "platform/codesign/os_status.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "platform/codesign/verified_signature.hpp"

namespace vantreel::platform::codesign {

// A bundle whose seal checked out: the seal's signature and the sealed manifest's entries, which
// the bundle was found to hold. Whatever is read from them is vouched for by the seal, so
// nobody needs to walk the bundle a second time.
struct SealedBundle {
  VerifiedSignature signature;
  std::vector<BundleManifest::Entry> entries;

  // rootFd is the bundle root; every step opens below the previous descriptor without
  // following links. A seal that fails requirement (when given) is refused with
  // errSecCSReqFailed before anything but the seal is read, and the bundle's names, types and
  // sizes are held against the sealed manifest before any file is: errSecCSUnsigned without a
  // seal, errSecCSBadResource when the contents are not the sealed ones.
  [[nodiscard]] static tl::expected<SealedBundle, OSStatus> verify(
      int rootFd, const SecRequirement* requirement);
};

}  // namespace vantreel::platform::codesign
