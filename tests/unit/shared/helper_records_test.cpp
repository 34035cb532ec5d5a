#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/xpc/keyed_unarchiver.hpp"
#include "shared/constants.hpp"
#include "shared/helper_op_result.hpp"
#include "shared/helper_start_request.hpp"

namespace vantreel {
namespace {

using platform::xpc::ArchivedObject;
using platform::xpc::KeyedUnarchiver;

std::vector<std::string> keysOf(const ArchivedObject& archive) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : archive.items()) {
    keys.push_back(key);
  }
  return keys;
}

std::optional<HelperStartRequest> decodeRequest(const ArchivedObject& archive) {
  return HelperStartRequest::decode(KeyedUnarchiver(archive));
}

std::optional<HelperOpResult> decodeResult(const ArchivedObject& archive) {
  return HelperOpResult::decode(KeyedUnarchiver(archive));
}

TEST(HelperStartRequest, WithoutPinArchivesNoPinKey) {
  const HelperStartRequest request("gateway", "user1", std::nullopt);
  const auto archive = request.archive();
  EXPECT_EQ(keysOf(archive), (std::vector<std::string>{"$class", "server", "username"}));
  EXPECT_EQ(archive["$class"], "VTHelperStartRequest");
  const auto decoded = decodeRequest(archive);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, request);
  EXPECT_EQ(decoded->servercert(), std::nullopt);
  EXPECT_EQ(decoded->description(),
            "HelperStartRequest(server: gateway, username: user1, servercert: nil)");
}

TEST(HelperStartRequest, EmptyPinIsPresentAndNeverShown) {
  const HelperStartRequest empty("gateway", "user1", "");
  EXPECT_EQ(empty.archive()["servercert"], "");
  const auto decoded = decodeRequest(empty.archive());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->servercert(), std::optional<std::string>(""));
  EXPECT_EQ(decoded->description(),
            "HelperStartRequest(server: gateway, username: user1, servercert: set)");

  const HelperStartRequest secret("gw", "u", "pin-sha256:SECRETVALUE0000000");
  EXPECT_EQ(secret.description().find("SECRET"), std::string::npos);
  EXPECT_EQ(decodeRequest(secret.archive())->servercert(), "pin-sha256:SECRETVALUE0000000");
}

TEST(HelperStartRequest, MissingOrMistypedFieldsOrForeignClassDoNotDecode) {
  const ArchivedObject good = HelperStartRequest("gw", "u", "pin").archive();
  auto noUser = good;
  noUser.erase("username");
  EXPECT_FALSE(decodeRequest(noUser));
  auto noServer = good;
  noServer.erase("server");
  EXPECT_FALSE(decodeRequest(noServer));
  auto numericUser = good;
  numericUser["username"] = 7;
  EXPECT_FALSE(decodeRequest(numericUser));
  auto foreign = good;
  foreign["$class"] = "VTHelperOpResult";
  EXPECT_FALSE(decodeRequest(foreign));
  auto classless = good;
  classless.erase("$class");
  EXPECT_FALSE(decodeRequest(classless));
  EXPECT_FALSE(decodeRequest(ArchivedObject::array()));
  auto mistypedPin = good;
  mistypedPin["servercert"] = true;
  ASSERT_TRUE(decodeRequest(mistypedPin));
  EXPECT_EQ(decodeRequest(mistypedPin)->servercert(), std::nullopt);
}

TEST(HelperOpResult, DefaultsAndAllSixKeys) {
  const HelperOpResult result(true);
  EXPECT_EQ(result.code(), 0);
  EXPECT_EQ(result.message(), "");
  EXPECT_EQ(result.state(), "idle");
  EXPECT_EQ(result.version(), Constants::helperVersion());
  EXPECT_EQ(result.pid(), 0);
  const auto archive = result.archive();
  EXPECT_EQ(archive.size(), 7U);
  for (const char* key : {"$class", "ok", "code", "message", "state", "version", "pid"}) {
    EXPECT_TRUE(archive.contains(key)) << key;
  }
  EXPECT_EQ(archive["$class"], "VTHelperOpResult");
}

TEST(HelperOpResult, EmptyArchiveYieldsTheReadersDefaults) {
  ArchivedObject archive = ArchivedObject::object();
  archive["$class"] = "VTHelperOpResult";
  const auto decoded = decodeResult(archive);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, HelperOpResult(false, 0, "", "idle", "1.0.2", 0));

  archive["message"] = 12;  // not a string: the default stands
  archive["ok"] = "yes";
  EXPECT_EQ(*decodeResult(archive), HelperOpResult(false));
  archive["$class"] = "VTHelperStartRequest";
  EXPECT_FALSE(decodeResult(archive));
}

TEST(HelperOpResult, RoundTripKeepsWideAndNegativeIntegers) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  for (const auto& result : {HelperOpResult(false, -1, "failed", "stopping", "0.9", -42),
                             HelperOpResult(true, 1LL << 40, "m", "connected", "2", 5000000000),
                             HelperOpResult(true, kMin, "", "idle", "1.0.2", kMax)}) {
    const auto archive = result.archive();
    EXPECT_EQ(decodeResult(archive), result);
    // The same through the wire encoding, where non-negative numbers travel unsigned.
    const auto wire = ArchivedObject::from_cbor(ArchivedObject::to_cbor(archive));
    EXPECT_EQ(decodeResult(wire), result);
  }
}

}  // namespace
}  // namespace vantreel
