#pragma once

#include <string>
#include <vector>

#include "platform/xpc/method_signature.hpp"

namespace vantreel::platform::xpc {

struct ProtocolDescription {
  std::string name;
  std::vector<MethodSignature> methods;
};

}  // namespace vantreel::platform::xpc
