#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "platform/xpc/archived_object.hpp"
#include "platform/xpc/keyed_unarchiver.hpp"
#include "shared/helper_op_result.hpp"
#include "shared/helper_start_request.hpp"

// Input: a CBOR value decoded as both records. A record that decodes must survive a round trip.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vantreel::HelperOpResult;
  using vantreel::HelperStartRequest;
  using vantreel::platform::xpc::ArchivedObject;
  using vantreel::platform::xpc::KeyedUnarchiver;

  // The library's CBOR reader recurses once per nesting level; the transport bounds nesting
  // before records are decoded, so deep inputs only test the library here.
  if (size > 4096) {
    return 0;
  }
  ArchivedObject archive;
  try {
    // Even with allow_exceptions off, a declared length beyond max_size() throws (out_of_range
    // 408); the transport must catch it too.
    archive = ArchivedObject::from_cbor(data, data + size, true, false);
  } catch (const std::exception&) {
    return 0;
  }
  if (archive.is_discarded()) {
    return 0;
  }
  const KeyedUnarchiver coder(archive);
  if (const auto request = HelperStartRequest::decode(coder)) {
    const auto again = request->archive();
    if (HelperStartRequest::decode(KeyedUnarchiver(again)) != request) {
      std::abort();
    }
    (void)request->description();
  }
  if (const auto result = HelperOpResult::decode(coder)) {
    const auto again = result->archive();
    if (HelperOpResult::decode(KeyedUnarchiver(again)) != result) {
      std::abort();
    }
  }
  return 0;
}
