#pragma once

#include <cstdint>

// Status codes and flags of the code-signing calls, with the values callers of the original
// services know, so that a logged status means the same thing on either platform.
namespace vantreel::platform::codesign {

using OSStatus = std::int32_t;
using SecCSFlags = std::uint32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSInternalError = -67048;
inline constexpr OSStatus errSecCSBadObjectFormat = -67049;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSReqInvalid = -67052;   // requirement text outside the language
inline constexpr OSStatus errSecCSBadResource = -67054;  // a bundle's sealed contents changed
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSGuestInvalid = -67063;  // the process now runs other code
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSInvalidAttributeValues = -67066;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSObjectRequired = -67069;
inline constexpr OSStatus errSecCSInvalidFlags = -67070;

inline constexpr SecCSFlags kSecCSDefaultFlags = 0;
// Accepted for fidelity; a file here holds code for one architecture only.
inline constexpr SecCSFlags kSecCSCheckAllArchitectures = 1;

}  // namespace vantreel::platform::codesign
