#pragma once

#include <string>
#include <tl/expected.hpp>

#include "platform/codesign/signing_identity.hpp"

namespace vantreel::platform::codesign {

// Produces signatures: appended to an ELF file, or as the seal of a bundle. Errors are texts
// naming the file.
class CodeSigner {
 public:
  // Replaces any signature the file carries already. Only ELF files are signed: a script is
  // covered by the seal of its bundle instead.
  [[nodiscard]] static tl::expected<void, std::string> signElf(const std::string& path,
                                                               const std::string& identifier,
                                                               const SigningIdentity& identity);

  // Writes Contents/_CodeSignature/CodeResources (the signature) and CodeManifest (what it
  // signs) over the bundle's current contents; sign the executables inside first.
  [[nodiscard]] static tl::expected<void, std::string> sealBundle(const std::string& path,
                                                                  const std::string& identifier,
                                                                  const SigningIdentity& identity);
};

}  // namespace vantreel::platform::codesign
