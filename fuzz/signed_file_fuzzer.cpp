#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/scratch_directory.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/sec_requirement.hpp"
#include "shared/constants.hpp"

// Input: a whole executable file as a caller could make it, its appended signature (trailer,
// CMS, code directory) included. It is written to disk and judged by the file check the caller
// check runs on a process's executable (verification reads the open descriptor either way),
// against the daemon's own requirement. Seeds verify under fuzz/corpus/seed-anchor.pem, which
// the fuzz preset compiles in as the anchor.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace cs = vantreel::platform::codesign;
  static const std::string path = (ScratchDirectory::path() / "caller").string();
  static const auto requirement =
      cs::SecRequirement::compile(vantreel::Constants::codeSigningRequirement());
  if (!requirement) {
    std::abort();
  }
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
      std::abort();
    }
  }
  auto& security = cs::CodeSigning::real();
  const auto code = security.SecStaticCodeCreateWithPath(path, cs::kSecCSDefaultFlags);
  if (!code || (*code)->kind() != cs::SecStaticCode::Kind::file) {
    std::abort();
  }
  const cs::OSStatus status =
      security.SecStaticCodeCheckValidity(*code, cs::kSecCSDefaultFlags, *requirement);
  const auto information = security.SecCodeCopySigningInformation(*code, cs::kSecCSDefaultFlags);
  // Two reads of one unchanged file must agree on it.
  if (status == cs::errSecSuccess &&
      (!information || !information->anchored || !(*requirement)->isSatisfiedBy(*information))) {
    std::abort();
  }
  // The requirement is judged before the code is hashed, so a refusal on it may stand in for a
  // failure that the signature alone shows; any other outcome is the signature's own.
  if (status != cs::errSecSuccess && status != cs::errSecCSReqFailed &&
      (information || information.error() != status)) {
    std::abort();
  }
  return 0;
}
