#pragma once

namespace vantreel::platform::xpc {

// What one argument or reply value of a method is on the wire.
enum class ValueKind { string, boolean, int64, object, fileDescriptor };

}  // namespace vantreel::platform::xpc
