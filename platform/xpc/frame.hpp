#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/archived_object.hpp"
#include "platform/xpc/value.hpp"
#include "platform/xpc/value_kind.hpp"

namespace vantreel::platform::xpc {

// One datagram: a CBOR map {"k", "id", "sel" (calls), "args" (calls and replies)}. A call with
// id 0 is one-way. "error" answers a call whose receiver dropped its reply; "welcome" is the
// listener's first frame on an admitted connection.
struct Frame {
  enum class Kind { call, reply, error, welcome };

  Kind kind = Kind::call;
  std::uint64_t id = 0;
  std::string selector;
  ArchivedObject arguments = ArchivedObject::array();

  // Structural decoding only. The reader is bounded: no nesting beyond what a frame uses, no
  // container larger than a frame could hold, no floats, binary strings, tags, duplicate keys
  // or trailing bytes. nullopt for anything else.
  [[nodiscard]] static std::optional<Frame> decode(std::span<const std::uint8_t> bytes);
  [[nodiscard]] std::vector<std::uint8_t> encode() const;
};

// The admitted classes of each object value, by index.
using ClassLists = std::map<std::size_t, std::set<std::string>>;

// Turns frame arguments into values of exactly the kinds given, taking the descriptors the
// "$fd" placeholders name; every descriptor must be named exactly once. On failure whatever
// descriptors remain are closed with the vector.
[[nodiscard]] tl::expected<std::vector<Value>, std::string> decodeValues(
    const ArchivedObject& arguments, const std::vector<ValueKind>& kinds, const ClassLists& classes,
    std::vector<posix::UniqueFd>& descriptors);

// The reverse: values into frame arguments and the descriptors to attach, checked against the
// same kinds and classes.
struct EncodedValues {
  ArchivedObject arguments;
  std::vector<int> descriptors;  // borrowed from the values
};
[[nodiscard]] tl::expected<EncodedValues, std::string> encodeValues(
    const std::vector<Value>& values, const std::vector<ValueKind>& kinds,
    const ClassLists& classes);

}  // namespace vantreel::platform::xpc
