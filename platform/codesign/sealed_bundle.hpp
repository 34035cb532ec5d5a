#pragma once

#include <cstdint>
#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/os_status.hpp"
#include "platform/codesign/verified_signature.hpp"

namespace vantreel::platform::codesign {

// A bundle whose seal checked out: the seal's signature and the manifest that was built and
// found to be the sealed one. Whatever is read from this manifest is vouched for by the seal,
// so nobody needs to build it a second time.
struct SealedBundle {
  VerifiedSignature signature;
  std::vector<std::uint8_t> manifest;

  // rootFd is the bundle root; every step opens below the previous descriptor without
  // following links. errSecCSUnsigned without a seal, errSecCSBadResource when the contents
  // are not the sealed ones.
  [[nodiscard]] static tl::expected<SealedBundle, OSStatus> verify(int rootFd);
};

}  // namespace vantreel::platform::codesign
