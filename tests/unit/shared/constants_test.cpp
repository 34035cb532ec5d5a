#include "shared/constants.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace vantreel {
namespace {

TEST(Constants, RequirementIsTheExactAssembledText) {
  const std::string expected =
      R"(anchor apple generic and certificate leaf[subject.OU] = "RZ4MPQ8T2D" and )"
      R"((identifier "org.vantreel.desktop" or identifier "org.vantreel.desktop.helperctl"))";
  EXPECT_EQ(Constants::codeSigningRequirement(), expected);
  EXPECT_EQ(Constants::codeSigningRequirement().size(), 155U);
}

TEST(Constants, RolesSharingATextStayEqualAndPlistNamesFollowLabels) {
  EXPECT_EQ(Constants::machService, Constants::helperLabel);
  EXPECT_EQ(Constants::legacyLabel, Constants::helperBundleID);
  EXPECT_EQ(Constants::helperBundleID, Constants::helperBinaryName);
  EXPECT_EQ(Constants::plistName, std::string(Constants::helperLabel) + ".plist");
  EXPECT_EQ(Constants::legacyPlistName, std::string(Constants::legacyLabel) + ".plist");
  EXPECT_EQ(Constants::machService.size(), 28U);
  EXPECT_EQ(Constants::helperCtlBundleID.size(), 30U);
}

TEST(Constants, InjectedValuesAreReadOnceAndSafelyFromManyThreads) {
  std::vector<const std::string*> seen(8);
  std::vector<std::jthread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = &Constants::teamID(); });
  }
  threads.clear();
  for (const auto* p : seen) {
    EXPECT_EQ(p, &Constants::teamID());
  }
  EXPECT_EQ(Constants::teamID(), "RZ4MPQ8T2D");
  EXPECT_EQ(Constants::helperVersion(), "1.0.2");
}

}  // namespace
}  // namespace vantreel
