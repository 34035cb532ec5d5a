#include "platform/xpc/admission_policy.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/refusal_burst.hpp"

namespace vantreel::platform::xpc {
namespace {

constexpr std::uint32_t kOwn = 0;
constexpr std::uint32_t kUser = 1000;

posix::SysError failed(int code) { return posix::SysError{code, "read"}; }

NamespaceFacts same() { return NamespaceFacts{true, std::nullopt, {}}; }

TEST(AdmissionPolicyTest, DecidesFromPlainFacts) {
  const AdmissionLimits limits{.maximum = 4, .perUser = 2, .ownUid = kOwn};
  struct Row {
    const char* name;
    std::optional<std::uint32_t> uid;
    Occupancy occupancy;
    std::optional<NamespaceFacts> namespaces;  // nullopt: the identity is not taken yet
    std::string refusal;                       // empty: let through to the delegate
  };
  const Row rows[] = {
      {"room left", kUser, {1, 0, 1}, std::nullopt, ""},
      {"all slots open", kUser, {4, 0, 0}, std::nullopt, "4 connections are open already"},
      {"all ending slots taken",
       kUser,
       {0, 4, 0},
       std::nullopt,
       "4 connections whose clients have gone are still ending"},
      // Those ending do not count against the open ones: a burst of dead peers with calls
      // still running must not lock everyone out.
      {"open and ending counted apart", kUser, {3, 3, 0}, std::nullopt, ""},
      {"unknown user", std::nullopt, {0, 0, 0}, std::nullopt, "its user is unknown"},
      {"share used up", kUser, {2, 0, 2}, std::nullopt, "uid 1000 holds 2 connections already"},
      {"the service's own user has no share", kOwn, {3, 0, 3}, std::nullopt, ""},
      {"the cap holds for the service's own user too",
       kOwn,
       {4, 0, 4},
       std::nullopt,
       "4 connections are open already"},
      {"same namespaces", kUser, {0, 0, 0}, same(), ""},
      {"foreign namespaces",
       kUser,
       {0, 0, 0},
       NamespaceFacts{false, std::nullopt, {}},
       "it runs in another pid or user namespace than the service"},
      {"not allowed to look, as deep",
       kUser,
       {0, 0, 0},
       NamespaceFacts{tl::unexpected(failed(EACCES)), true, {}},
       ""},
      {"not allowed to look, nested deeper",
       kUser,
       {0, 0, 0},
       NamespaceFacts{tl::unexpected(failed(EACCES)), false, {}},
       "it runs in another pid or user namespace than the service"},
      {"neither namespaces nor depth readable",
       kUser,
       {0, 0, 0},
       NamespaceFacts{tl::unexpected(failed(EACCES)), tl::unexpected(failed(ENOENT)), {}},
       failed(ENOENT).description()},
      {"namespaces unreadable for another reason",
       kUser,
       {0, 0, 0},
       NamespaceFacts{tl::unexpected(failed(ENOENT)), std::nullopt, {}},
       failed(ENOENT).description()},
      // A peer that ended while /proc was read may have had its pid reused: what was read
      // may be another process's.
      {"peer ended meanwhile",
       kUser,
       {0, 0, 0},
       NamespaceFacts{true, std::nullopt, tl::unexpected(failed(ESRCH))},
       failed(ESRCH).description()},
      {"peer alive but not ours to signal",
       kUser,
       {0, 0, 0},
       NamespaceFacts{true, std::nullopt, tl::unexpected(failed(EPERM))},
       ""},
      {"slots are judged before namespaces",
       kUser,
       {4, 0, 0},
       NamespaceFacts{false, std::nullopt, {}},
       "4 connections are open already"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const AdmissionFacts facts{row.uid, row.occupancy, row.namespaces};
    EXPECT_EQ(admissionRefusal(limits, facts).value_or(""), row.refusal);
  }
}

// The refusals' texts as the log gets them: the first of a burst in full, the rest as one count
// once the burst has been quiet, or every minute while a flood goes on.
TEST(AdmissionPolicyTest, RefusalsAreToldAsBursts) {
  using namespace std::chrono_literals;
  using Clock = RefusalBurst::Clock;
  struct Step {
    Clock::duration at;
    std::optional<std::string> refused;  // nullopt: the listener only asks to settle
    std::vector<std::string> told;
  };
  const auto from = [](int pid) { return "refused connection from pid " + std::to_string(pid); };
  const Step steps[] = {
      {0ms, from(1), {from(1)}},
      {100ms, from(2), {}},
      {200ms, from(3), {}},
      {900ms, std::nullopt, {}},
      {1200ms, std::nullopt, {"refused 2 more connections (the last from pid 3)"}},
      {1300ms, std::nullopt, {}},
      {1400ms, from(4), {from(4)}},
      {2000ms, from(5), {}},
  };
  RefusalBurst burst(1s, 60s);
  const auto start = Clock::now();
  for (const auto& step : steps) {
    SCOPED_TRACE(std::chrono::duration_cast<std::chrono::milliseconds>(step.at).count());
    std::vector<std::string> told;
    if (step.refused) {
      told = burst.refused(*step.refused, start + step.at);
    } else if (auto count = burst.settle(start + step.at)) {
      told.push_back(*count);
    }
    EXPECT_EQ(told, step.told);
  }
  // A flood that never pauses for a second is still told of every minute.
  std::vector<std::string> flood;
  for (auto at = Clock::duration(2500ms); at <= 61500ms; at += 500ms) {
    for (auto& entry : burst.refused(from(6), start + at)) {
      flood.push_back(std::move(entry));
    }
  }
  EXPECT_EQ(flood, std::vector<std::string>{"refused 119 more connections (the last from pid 6)"});
}

}  // namespace
}  // namespace vantreel::platform::xpc
