#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/xpc/value_kind.hpp"

namespace vantreel::platform::xpc {

// One selector of a protocol: the kinds of its arguments and of its reply. A selector without
// a reply is one-way: it is never answered and never waited for. For object arguments the
// maps give the classes the declaration itself names; an Interface may narrow them.
struct MethodSignature {
  std::string selector;
  std::vector<ValueKind> arguments;
  std::optional<std::vector<ValueKind>> reply;
  std::map<std::size_t, std::set<std::string>> argumentClasses;
  std::map<std::size_t, std::set<std::string>> replyClasses;
};

}  // namespace vantreel::platform::xpc
