#include "platform/xpc/frame.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/io.hpp"

namespace vantreel::platform::xpc {
namespace {

using Json = ArchivedObject;

std::vector<std::uint8_t> cbor(const Json& j) { return Json::to_cbor(j); }

TEST(FrameTest, CallAndReplyRoundTrip) {
  Frame call{Frame::Kind::call, 7, "echo:withReply:", Json::array({"x", -5, true})};
  const auto decoded = Frame::decode(call.encode());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->kind, Frame::Kind::call);
  EXPECT_EQ(decoded->id, 7U);
  EXPECT_EQ(decoded->selector, "echo:withReply:");
  EXPECT_EQ(decoded->arguments, call.arguments);

  const auto welcome = Frame::decode(Frame{Frame::Kind::welcome, 0, {}, {}}.encode());
  ASSERT_TRUE(welcome);
  EXPECT_EQ(welcome->kind, Frame::Kind::welcome);
}

TEST(FrameTest, StructurallyWrongFramesAreRefused) {
  const std::vector<Json> bad = {
      Json::array({1, 2}),                                       // not a map
      Json{{"k", "call"}, {"id", 1}, {"args", Json::array()}},   // call without selector
      Json{{"k", "reply"}, {"id", 0}, {"args", Json::array()}},  // reply to nothing
      Json{{"k", "shout"}, {"id", 1}},                           // unknown kind
      Json{{"k", "error"}, {"id", 1}, {"extra", 1}},             // surplus key
      Json{{"k", "call"}, {"id", -1}, {"sel", "a"}, {"args", Json::array()}},      // signed id
      Json{{"k", "call"}, {"id", 1}, {"sel", "a"}, {"args", Json::array({1.5})}},  // float
      Json{{"k", "call"}, {"id", 1}, {"sel", "a"}, {"args", Json::array({nullptr})}},
  };
  for (const auto& frame : bad) {
    EXPECT_FALSE(Frame::decode(cbor(frame))) << frame.dump();
  }
  auto good = cbor(Json{{"k", "error"}, {"id", 1}});
  EXPECT_TRUE(Frame::decode(good));
  good.push_back(0);  // trailing byte
  EXPECT_FALSE(Frame::decode(good));
  good.resize(good.size() - 3);  // truncated
  EXPECT_FALSE(Frame::decode(good));
  EXPECT_FALSE(Frame::decode({}));
}

TEST(FrameTest, HostileNestingAndSizesAreRefusedWithoutRecursingDeep) {
  // A million nested one-element arrays: the library's own reader would recurse per level.
  std::vector<std::uint8_t> nested(1'000'000, 0x81);
  nested.push_back(0x01);
  EXPECT_FALSE(Frame::decode(nested));

  // Four levels: one more than any frame has.
  Json deep{{"k", "call"}, {"id", 1}, {"sel", "a"}, {"args", Json::array({Json::array({1})})}};
  EXPECT_TRUE(Frame::decode(cbor(deep)));
  deep["args"] = Json::array({Json{{"$class", "A"}, {"x", Json::array()}}});
  EXPECT_FALSE(Frame::decode(cbor(deep)));

  // A map claiming 2^32 entries, and a text longer than the frame.
  EXPECT_FALSE(Frame::decode(std::vector<std::uint8_t>{0xba, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_FALSE(Frame::decode(std::vector<std::uint8_t>{0x7a, 0x7f, 0xff, 0xff, 0xff, 'a'}));

  // Duplicate keys: the later one must not silently win.
  const std::vector<std::uint8_t> duplicate = {0xa2, 0x61, 'k',  0x65, 'e', 'r', 'r', 'o', 'r',
                                               0x61, 'k',  0x65, 'e',  'r', 'r', 'o', 'r'};
  EXPECT_FALSE(Frame::decode(duplicate));
}

TEST(FrameTest, ValuesDecodeOnlyAsDeclaredKindsAndAdmittedClasses) {
  const std::vector<ValueKind> kinds = {ValueKind::string, ValueKind::int64, ValueKind::object};
  const ClassLists classes = {{2, {"VTAllowed"}}};
  std::vector<posix::UniqueFd> none;

  const Json allowed{{"$class", "VTAllowed"}, {"server", "s"}, {"n", -3}};
  auto values = decodeValues(Json::array({"a", 9, allowed}), kinds, classes, none);
  ASSERT_TRUE(values);
  EXPECT_EQ(std::get<std::string>((*values)[0]), "a");
  EXPECT_EQ(std::get<std::int64_t>((*values)[1]), 9);
  EXPECT_EQ(std::get<ArchivedObject>((*values)[2]), allowed);

  const std::vector<Json> refused = {
      Json::array({"a", 9}),                                             // arity
      Json::array({"a", "9", allowed}),                                  // kind
      Json::array({"a", 9, Json{{"$class", "VTOther"}}}),                // class
      Json::array({"a", 9, Json{{"server", "s"}}}),                      // no class
      Json::array({"a", 9, Json{{"$class", "VTAllowed"}, {"$fd", 0}}}),  // smuggled key
      Json::array({"a", std::uint64_t{1} << 63, allowed}),               // beyond int64
  };
  for (const auto& arguments : refused) {
    EXPECT_FALSE(decodeValues(arguments, kinds, classes, none)) << arguments.dump();
  }
}

TEST(FrameTest, EveryDescriptorMustBeNamedExactlyOnce) {
  const std::vector<ValueKind> kinds = {ValueKind::fileDescriptor};
  auto makeFds = [](std::size_t n) {
    std::vector<posix::UniqueFd> fds;
    for (std::size_t i = 0; i < n; ++i) {
      auto pipe = posix::makePipe();
      EXPECT_TRUE(pipe);
      fds.push_back(std::move(pipe->read));
    }
    return fds;
  };
  const Json placeholder = Json::array({Json{{"$fd", 0}}});
  auto one = makeFds(1);
  auto values = decodeValues(placeholder, kinds, {}, one);
  ASSERT_TRUE(values);
  EXPECT_TRUE(std::get<posix::UniqueFd>((*values)[0]).valid());

  auto missing = makeFds(0);
  EXPECT_FALSE(decodeValues(placeholder, kinds, {}, missing));
  auto surplus = makeFds(2);
  EXPECT_FALSE(decodeValues(placeholder, kinds, {}, surplus));
  auto outOfRange = makeFds(1);
  EXPECT_FALSE(decodeValues(Json::array({Json{{"$fd", 1}}}), kinds, {}, outOfRange));
  auto twice = makeFds(1);
  EXPECT_FALSE(decodeValues(Json::array({Json{{"$fd", 0}}, Json{{"$fd", 0}}}),
                            {ValueKind::fileDescriptor, ValueKind::fileDescriptor}, {}, twice));
}

TEST(FrameTest, EncodingChecksValuesAgainstTheInterface) {
  std::vector<Value> values;
  values.emplace_back(std::string("x"));
  values.emplace_back(Json{{"$class", "VTOther"}});
  EXPECT_FALSE(encodeValues(values, {ValueKind::string, ValueKind::object}, {{1, {"VTAllowed"}}}));
  EXPECT_TRUE(encodeValues(values, {ValueKind::string, ValueKind::object}, {{1, {"VTOther"}}}));
  EXPECT_FALSE(encodeValues(values, {ValueKind::string}, {}));
}

}  // namespace
}  // namespace vantreel::platform::xpc
