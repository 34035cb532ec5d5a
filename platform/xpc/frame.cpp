#include "platform/xpc/frame.hpp"

#include <limits>

namespace vantreel::platform::xpc {
namespace {

using Json = ArchivedObject;

constexpr std::size_t kMaxDepth = 3;  // frame map > args array > archive map
constexpr std::size_t kMaxEntries = 64;
constexpr std::size_t kMaxText = std::size_t{64} * 1024;
constexpr const char* kDescriptorKey = "$fd";

// Builds the document the way the library's DOM parser would, but refuses anything a frame
// never holds before the reader goes deeper: the library's CBOR reader recurses once per
// level, so the depth limit here is what bounds its stack.
// What may throw in an implicitly declared member here is the library's document type
// allocating; running out of memory ends the process anyway.
// NOLINTNEXTLINE(bugprone-exception-escape)
class BoundedSax final : public nlohmann::json_sax<Json> {
 public:
  Json root;

  bool null() override { return false; }
  bool boolean(bool value) override { return put(Json(value)) != nullptr; }
  bool number_integer(number_integer_t value) override { return put(Json(value)) != nullptr; }
  bool number_unsigned(number_unsigned_t value) override { return put(Json(value)) != nullptr; }
  bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return false; }
  bool string(string_t& value) override {
    return value.size() <= kMaxText && put(Json(std::move(value))) != nullptr;
  }
  bool binary(binary_t& /*value*/) override { return false; }
  bool start_object(std::size_t elements) override { return open(Json::object(), elements); }
  bool key(string_t& value) override {
    if (value.size() > kMaxText || stack_.empty() || !stack_.back()->is_object() ||
        stack_.back()->contains(value)) {
      return false;
    }
    key_ = std::move(value);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t elements) override { return open(Json::array(), elements); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) override {
    return false;
  }

 private:
  Json* put(Json value) {
    if (stack_.empty()) {
      if (!root.is_null()) {
        return nullptr;
      }
      root = std::move(value);
      return &root;
    }
    Json& parent = *stack_.back();
    if (parent.size() >= kMaxEntries) {
      return nullptr;
    }
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    Json& slot = parent[key_];
    slot = std::move(value);
    return &slot;
  }
  bool open(Json container, std::size_t elements) {
    if (stack_.size() >= kMaxDepth ||
        (elements != static_cast<std::size_t>(-1) && elements > kMaxEntries)) {
      return false;
    }
    Json* placed = put(std::move(container));
    if (placed == nullptr) {
      return false;
    }
    stack_.push_back(placed);
    return true;
  }
  bool close() {
    if (stack_.empty()) {
      return false;
    }
    stack_.pop_back();
    return true;
  }

  std::vector<Json*> stack_;
  std::string key_;
};

bool isInt64(const Json& value) {
  if (value.is_number_unsigned()) {
    return value.get<std::uint64_t>() <=
           static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  }
  return value.is_number_integer();
}

// An archive holds its class name and scalar entries only.
bool isArchiveOf(const Json& value, const std::set<std::string>& admitted) {
  if (!value.is_object()) {
    return false;
  }
  const auto it = value.find(kClassKey);
  if (it == value.end() || !it->is_string() || admitted.count(it->get<std::string>()) == 0) {
    return false;
  }
  for (const auto& [key, entry] : value.items()) {
    if (key == kClassKey) {
      continue;
    }
    if (key.starts_with('$') || !(entry.is_string() || entry.is_boolean() || isInt64(entry))) {
      return false;
    }
  }
  return true;
}

const std::set<std::string>& classesAt(const ClassLists& classes, std::size_t index) {
  static const std::set<std::string> none;
  const auto it = classes.find(index);
  return it == classes.end() ? none : it->second;
}

std::optional<Frame::Kind> kindNamed(const std::string& name) {
  if (name == "call") {
    return Frame::Kind::call;
  }
  if (name == "reply") {
    return Frame::Kind::reply;
  }
  if (name == "error") {
    return Frame::Kind::error;
  }
  if (name == "welcome") {
    return Frame::Kind::welcome;
  }
  return std::nullopt;
}

const char* nameOf(Frame::Kind kind) {
  switch (kind) {
    case Frame::Kind::call:
      return "call";
    case Frame::Kind::reply:
      return "reply";
    case Frame::Kind::error:
      return "error";
    case Frame::Kind::welcome:
      return "welcome";
  }
  return "";
}

}  // namespace

std::optional<Frame> Frame::decode(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxText) {
    return std::nullopt;
  }
  BoundedSax sax;
  bool parsed = false;
  try {
    parsed = Json::sax_parse(bytes.begin(), bytes.end(), &sax, Json::input_format_t::cbor, true);
  } catch (const std::exception&) {
    parsed = false;
  }
  const Json& root = sax.root;
  if (!parsed || !root.is_object()) {
    return std::nullopt;
  }
  const auto k = root.find("k");
  const auto id = root.find("id");
  if (k == root.end() || !k->is_string() || id == root.end() || !id->is_number_unsigned()) {
    return std::nullopt;
  }
  const auto kind = kindNamed(k->get<std::string>());
  if (!kind) {
    return std::nullopt;
  }
  Frame frame;
  frame.kind = *kind;
  frame.id = id->get<std::uint64_t>();
  std::size_t expectedKeys = 2;
  if (frame.kind == Kind::call) {
    const auto sel = root.find("sel");
    if (sel == root.end() || !sel->is_string()) {
      return std::nullopt;
    }
    frame.selector = sel->get<std::string>();
    ++expectedKeys;
  }
  if (frame.kind == Kind::call || frame.kind == Kind::reply) {
    const auto args = root.find("args");
    if (args == root.end() || !args->is_array()) {
      return std::nullopt;
    }
    frame.arguments = *args;
    ++expectedKeys;
  }
  if (root.size() != expectedKeys) {
    return std::nullopt;
  }
  if ((frame.kind == Kind::reply || frame.kind == Kind::error) && frame.id == 0) {
    return std::nullopt;
  }
  if (frame.kind == Kind::welcome && frame.id != 0) {
    return std::nullopt;
  }
  return frame;
}

std::vector<std::uint8_t> Frame::encode() const {
  Json map = Json::object();
  map["k"] = nameOf(kind);
  map["id"] = id;
  if (kind == Kind::call) {
    map["sel"] = selector;
  }
  if (kind == Kind::call || kind == Kind::reply) {
    map["args"] = arguments;
  }
  return Json::to_cbor(map);
}

tl::expected<std::vector<Value>, std::string> decodeValues(
    const ArchivedObject& arguments, const std::vector<ValueKind>& kinds, const ClassLists& classes,
    std::vector<posix::UniqueFd>& descriptors) {
  if (!arguments.is_array() || arguments.size() != kinds.size()) {
    return tl::unexpected(std::string("wrong number of values"));
  }
  std::vector<bool> taken(descriptors.size(), false);
  std::vector<Value> values;
  values.reserve(kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const Json& value = arguments[i];
    const auto wrong = [&] {
      return tl::unexpected("value " + std::to_string(i) + " is not of the declared kind");
    };
    switch (kinds[i]) {
      case ValueKind::string:
        if (!value.is_string()) {
          return wrong();
        }
        values.emplace_back(value.get<std::string>());
        break;
      case ValueKind::boolean:
        if (!value.is_boolean()) {
          return wrong();
        }
        values.emplace_back(value.get<bool>());
        break;
      case ValueKind::int64:
        if (!isInt64(value)) {
          return wrong();
        }
        values.emplace_back(value.is_number_unsigned()
                                ? static_cast<std::int64_t>(value.get<std::uint64_t>())
                                : value.get<std::int64_t>());
        break;
      case ValueKind::object:
        if (!isArchiveOf(value, classesAt(classes, i))) {
          return tl::unexpected("value " + std::to_string(i) + " is not of an admitted class");
        }
        values.emplace_back(std::in_place_type<ArchivedObject>, value);
        break;
      case ValueKind::fileDescriptor: {
        if (!value.is_object() || value.size() != 1 || !value.contains(kDescriptorKey) ||
            !isInt64(value[kDescriptorKey]) || value[kDescriptorKey].get<std::int64_t>() < 0) {
          return wrong();
        }
        const auto index = static_cast<std::uint64_t>(value[kDescriptorKey].get<std::int64_t>());
        if (index >= descriptors.size() || taken[index]) {
          return tl::unexpected("value " + std::to_string(i) + " names no descriptor sent");
        }
        taken[index] = true;
        values.emplace_back(std::move(descriptors[index]));
        break;
      }
    }
  }
  for (const bool used : taken) {
    if (!used) {
      return tl::unexpected(std::string("a descriptor was sent that no value names"));
    }
  }
  return values;
}

tl::expected<EncodedValues, std::string> encodeValues(const std::vector<Value>& values,
                                                      const std::vector<ValueKind>& kinds,
                                                      const ClassLists& classes) {
  if (values.size() != kinds.size()) {
    return tl::unexpected(std::string("wrong number of values"));
  }
  EncodedValues encoded{Json::array(), {}};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Value& value = values[i];
    bool fits = false;
    switch (kinds[i]) {
      case ValueKind::string:
        if ((fits = std::holds_alternative<std::string>(value))) {
          encoded.arguments.push_back(std::get<std::string>(value));
        }
        break;
      case ValueKind::boolean:
        if ((fits = std::holds_alternative<bool>(value))) {
          encoded.arguments.push_back(std::get<bool>(value));
        }
        break;
      case ValueKind::int64:
        if ((fits = std::holds_alternative<std::int64_t>(value))) {
          encoded.arguments.push_back(std::get<std::int64_t>(value));
        }
        break;
      case ValueKind::object:
        if ((fits = std::holds_alternative<ArchivedObject>(value) &&
                    isArchiveOf(std::get<ArchivedObject>(value), classesAt(classes, i)))) {
          encoded.arguments.push_back(std::get<ArchivedObject>(value));
        }
        break;
      case ValueKind::fileDescriptor:
        if ((fits = std::holds_alternative<posix::UniqueFd>(value) &&
                    std::get<posix::UniqueFd>(value).valid())) {
          encoded.arguments.push_back(Json{{kDescriptorKey, encoded.descriptors.size()}});
          encoded.descriptors.push_back(std::get<posix::UniqueFd>(value).get());
        }
        break;
    }
    if (!fits) {
      return tl::unexpected("value " + std::to_string(i) + " does not match the interface");
    }
  }
  return encoded;
}

}  // namespace vantreel::platform::xpc
