#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/xpc/frame.hpp"

// Structural decoding, then typed decoding of the arguments against a signature of every kind.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantreel::platform::xpc;
  const auto frame = Frame::decode(std::span(data, size));
  if (!frame) {
    return 0;
  }
  const std::vector<ValueKind> kinds = {ValueKind::string, ValueKind::boolean, ValueKind::int64,
                                        ValueKind::object};
  std::vector<vantreel::platform::posix::UniqueFd> none;
  (void)decodeValues(frame->arguments, kinds, {{3, {"VTHelperStartRequest"}}}, none);
  (void)Frame::decode(frame->encode());
  return 0;
}
