#pragma once

#include <string>
#include <vector>

#include "platform/xpc/reply.hpp"
#include "platform/xpc/value.hpp"

namespace vantreel::platform::xpc {

// The object a connection delivers incoming calls to, one at a time, on the connection's own
// thread. The arguments have been checked against the exported interface already.
class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  virtual void dispatch(const std::string& selector, std::vector<Value> arguments, Reply reply) = 0;
};

}  // namespace vantreel::platform::xpc
