#include <gtest/gtest.h>

#include <vector>

#include "platform/codesign/code_directory.hpp"
#include "platform/codesign/embedded_signature.hpp"

namespace vantreel::platform::codesign {
namespace {

TEST(EmbeddedSignature, TrailerIsFoundOnlyWhereItCanBe) {
  const auto trailer = EmbeddedSignature::trailer(100);
  const auto layout = EmbeddedSignature::locate(1000, trailer);
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(layout->signatureSize, 100U);
  EXPECT_EQ(layout->contentSize, 1000U - 100U - EmbeddedSignature::kTrailerSize);

  // A signature exactly filling the file leaves empty content; one byte more cannot be.
  EXPECT_TRUE(EmbeddedSignature::locate(124, trailer).has_value());
  EXPECT_EQ(EmbeddedSignature::locate(123, trailer).error(), errSecCSBadObjectFormat);
  EXPECT_EQ(EmbeddedSignature::locate(1000, EmbeddedSignature::trailer(0)).error(),
            errSecCSBadObjectFormat);
  EXPECT_EQ(EmbeddedSignature::locate(UINT64_MAX, EmbeddedSignature::trailer(UINT64_MAX)).error(),
            errSecCSBadObjectFormat);

  auto damaged = trailer;
  damaged.back() ^= 1;
  EXPECT_EQ(EmbeddedSignature::locate(1000, damaged).error(), errSecCSUnsigned);
  EXPECT_EQ(EmbeddedSignature::locate(10, std::span(trailer).first(10)).error(), errSecCSUnsigned);
}

TEST(CodeDirectory, RoundTripsAndRefusesAnythingElse) {
  const CodeDirectory directory{"org.vantreel.desktop", "bundle", std::vector<std::uint8_t>(32, 7)};
  const auto decoded = CodeDirectory::decode(directory.encode());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->identifier, directory.identifier);
  EXPECT_EQ(decoded->kind, directory.kind);
  EXPECT_EQ(decoded->digest, directory.digest);

  auto bad = directory;
  bad.kind = "script";
  EXPECT_FALSE(CodeDirectory::decode(bad.encode()));
  bad = directory;
  bad.digest.resize(31);
  EXPECT_FALSE(CodeDirectory::decode(bad.encode()));
  bad = directory;
  bad.identifier = "org/vantreel";
  EXPECT_FALSE(CodeDirectory::decode(bad.encode()));

  auto bytes = directory.encode();
  bytes.push_back(0);  // trailing garbage
  EXPECT_FALSE(CodeDirectory::decode(bytes));
  bytes.resize(bytes.size() - 5);  // truncated
  EXPECT_FALSE(CodeDirectory::decode(bytes));
  // Deeply nested arrays are refused by size before the reader recurses into them.
  EXPECT_FALSE(CodeDirectory::decode(std::vector<std::uint8_t>(100000, 0x81)));
  // A declared length beyond any container's reach: {"a": array of 0x9b9b9b9b9b9b9b9b items}.
  EXPECT_FALSE(CodeDirectory::decode(std::vector<std::uint8_t>{
      0xa1, 0x61, 'a', 0x9b, 0x9b, 0x9b, 0x9b, 0x9b, 0x9b, 0x9b, 0x9b, 0x9b}));

  EXPECT_FALSE(CodeDirectory::isValidIdentifier(""));
  EXPECT_FALSE(CodeDirectory::isValidIdentifier(std::string(256, 'a')));
  EXPECT_TRUE(CodeDirectory::isValidIdentifier(std::string(255, 'a')));
  EXPECT_FALSE(CodeDirectory::isValidIdentifier("a\"b"));
}

}  // namespace
}  // namespace vantreel::platform::codesign
