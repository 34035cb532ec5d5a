#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/sec_requirement.hpp"

namespace vantreel::platform::codesign {
namespace {

VerifiedSignature signature(std::string identifier, std::optional<std::string> team,
                            bool anchored) {
  VerifiedSignature s;
  s.identifier = std::move(identifier);
  s.kind = "elf";
  s.teamID = std::move(team);
  s.anchored = anchored;
  return s;
}

bool holds(const std::string& text, const VerifiedSignature& s) {
  const auto requirement = SecRequirement::compile(text);
  EXPECT_TRUE(requirement.has_value()) << text;
  return requirement && (*requirement)->isSatisfiedBy(s);
}

TEST(SecRequirement, ProductRequirementAdmitsOnlyAnchoredTeamWithEitherIdentifier) {
  const std::string text =
      R"(anchor apple generic and certificate leaf[subject.OU] = "RZ4MPQ8T2D" and )"
      R"((identifier "org.vantreel.desktop" or identifier "org.vantreel.desktop.helperctl"))";
  EXPECT_TRUE(holds(text, signature("org.vantreel.desktop", "RZ4MPQ8T2D", true)));
  EXPECT_TRUE(holds(text, signature("org.vantreel.desktop.helperctl", "RZ4MPQ8T2D", true)));
  EXPECT_FALSE(holds(text, signature("org.vantreel.desktop.helper", "RZ4MPQ8T2D", true)));
  EXPECT_FALSE(holds(text, signature("org.vantreel.desktop", "OTHERTEAM0", true)));
  EXPECT_FALSE(holds(text, signature("org.vantreel.desktop", "RZ4MPQ8T2D", false)));
  EXPECT_FALSE(holds(text, signature("org.vantreel.desktop", std::nullopt, true)));
  // Matching is exact: no prefix, no case folding.
  EXPECT_FALSE(holds(text, signature("org.vantreel.desktop.", "RZ4MPQ8T2D", true)));
  EXPECT_FALSE(holds(text, signature("org.vantreel.desktop", "rz4mpq8t2d", true)));
}

TEST(SecRequirement, NotBindsTighterThanAndWhichBindsTighterThanOr) {
  const auto a = signature("a", "T", true);
  const auto b = signature("b", "T", false);
  // "x or y and z" is "x or (y and z)".
  EXPECT_TRUE(holds(R"(identifier "a" or identifier "b" and anchor apple generic)", a));
  EXPECT_FALSE(holds(R"(identifier "a" or identifier "b" and anchor apple generic)", b));
  EXPECT_FALSE(holds(R"((identifier "a" or identifier "b") and anchor apple generic)", b));
  // "! x and y" is "(! x) and y".
  EXPECT_TRUE(holds(R"(! identifier "a" and identifier "b")", b));
  EXPECT_TRUE(holds(R"(! (identifier "a" and identifier "b"))", a));
  EXPECT_TRUE(holds(R"(!!identifier "a")", a));
  EXPECT_FALSE(holds(R"(! ! ! identifier "a")", a));
  // Long chains evaluate without deep recursion.
  std::string chain = R"(identifier "x0")";
  for (int i = 1; i < 150; ++i) {
    chain += R"( or identifier "x)" + std::to_string(i) + "\"";
  }
  EXPECT_TRUE(holds(chain, signature("x149", "T", true)));
  EXPECT_FALSE(holds(chain, signature("x150", "T", true)));
}

TEST(SecRequirement, QuotedStringsKeepBlanksAndEscapes) {
  EXPECT_TRUE(holds(R"(identifier "a b")", signature("a b", "T", true)));
  EXPECT_TRUE(
      holds(R"(certificate leaf[subject.OU] = "q\"u\\o")", signature("x", R"(q"u\o)", true)));
  EXPECT_TRUE(holds("identifier \"and or ! ( )\"", signature("and or ! ( )", "T", true)));
  EXPECT_TRUE(holds("\tanchor\napple  generic\r\n", signature("x", "T", true)));
  EXPECT_FALSE(holds(R"(certificate leaf[subject.OU] = "")", signature("x", std::nullopt, true)));
}

TEST(SecRequirement, RefusesTextOutsideTheLanguage) {
  const char* refused[] = {
      "",
      "   ",
      "anchor apple",
      "anchor apple generic extra",
      "Anchor apple generic",
      "anchor apple generic and",
      "and anchor apple generic",
      "anchor apple generic or or anchor apple generic",
      R"(identifier a)",
      R"(identifier = "a")",
      R"(identifier "a)",
      R"(identifier "a\n")",
      "identifier \"a\nb\"",
      R"(identifier "a" identifier "b")",
      R"(certificate leaf[subject.CN] = "T")",
      R"(certificate leaf[subject.OU] "T")",
      R"(certificate root[subject.OU] = "T")",
      R"(certificate leaf subject.OU = "T")",
      R"((identifier "a")",
      R"(identifier "a"))",
      "()",
      "!",
      R"(identifier "a" & anchor apple generic)",
      R"(info[x] = "a")",
      "anchor apple generic; identifier \"a\"",
  };
  for (const char* text : refused) {
    const auto requirement = SecRequirement::compile(text);
    ASSERT_FALSE(requirement.has_value()) << text;
    EXPECT_EQ(requirement.error(), errSecCSReqInvalid) << text;
  }
  EXPECT_EQ(SecRequirement::compile(std::string_view("identifier \"a\0\"", 15)).error(),
            errSecCSReqInvalid);
}

TEST(SecRequirement, NestingAndLengthAreCapped) {
  const auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '(') + "anchor apple generic" +
           std::string(static_cast<std::size_t>(depth), ')');
  };
  EXPECT_TRUE(SecRequirement::compile(nested(SecRequirement::kMaxDepth)).has_value());
  EXPECT_FALSE(SecRequirement::compile(nested(SecRequirement::kMaxDepth + 1)).has_value());
  EXPECT_FALSE(SecRequirement::compile(std::string(100000, '!') + "anchor apple generic"));
  const std::string longIdentifier(SecRequirement::kMaxTextLength, 'a');
  EXPECT_FALSE(SecRequirement::compile("identifier \"" + longIdentifier + "\"").has_value());
}

}  // namespace
}  // namespace vantreel::platform::codesign
