#include "helper/runner_error.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vantreel {
namespace {

TEST(RunnerError, PayloadCasesDescribeThemselvesWithTheirPayloadOnly) {
  const auto invalid = RunnerError::invalidRequest("server argument failed allow-list checks");
  EXPECT_EQ(invalid.kind(), RunnerError::Kind::invalidRequest);
  EXPECT_EQ(invalid.errorDescription(), "server argument failed allow-list checks");
  const auto spawn = RunnerError::spawnFailed("");
  EXPECT_EQ(spawn.kind(), RunnerError::Kind::spawnFailed);
  EXPECT_EQ(spawn.errorDescription(), "");
  EXPECT_EQ(RunnerError::spawnFailed("posix_spawn: No such file or directory").errorDescription(),
            "posix_spawn: No such file or directory");
  EXPECT_NE(RunnerError::invalidRequest("x"), RunnerError::spawnFailed("x"));
}

TEST(RunnerError, FixedCasesInOrderWithTheirTexts) {
  const std::vector<std::pair<RunnerError, std::string>> cases{
      {RunnerError::alreadyRunning(), "a tunnel is already running"},
      {RunnerError::notRunning(), "no tunnel is running"},
      {RunnerError::openConnectMissing(),
       "bundled OpenConnect binary not found inside the signed app"},
      {RunnerError::scriptMissing(), "bundled vpnc-script not found inside the signed app"},
      {RunnerError::unsignedBinary(), "bundled OpenConnect is not inside the signed Vantreel app"},
      {RunnerError::passwordReadFailed(), "failed to read the secret from the XPC file descriptor"},
  };
  int expectedKind = static_cast<int>(RunnerError::Kind::alreadyRunning);
  for (const auto& [error, text] : cases) {
    EXPECT_EQ(static_cast<int>(error.kind()), expectedKind++);
    EXPECT_EQ(error.errorDescription(), text);
  }
  EXPECT_EQ(static_cast<int>(RunnerError::Kind::invalidRequest), 0);
  EXPECT_EQ(static_cast<int>(RunnerError::Kind::spawnFailed), 1);
}

}  // namespace
}  // namespace vantreel
