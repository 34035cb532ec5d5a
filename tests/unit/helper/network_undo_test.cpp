#include "helper/network_undo.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.hpp"

namespace vantreel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using namespace std::string_literals;

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// What the routing script leaves while a tunnel is up, and a stand-in for the script copy that
// records the environment it is run with.
class NetworkUndoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vt-undo.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    kept_ = root_ / "kept";
    resolver_ = root_ / "resolv.conf";
    script_ = root_ / "vpnc-script";
    write(script_,
          "#!/bin/sh\ncat /proc/$$/environ >\"" + (root_ / "ran-with").string() +
              "\"\necho \"restoring ${TUNDEV}\"\n[ -z \"$HANG\" ] || { echo $$ >\"" +
              (root_ / "pid").string() + "\"; sleep 30 & echo $! >\"" +
              (root_ / "grandchild").string() +
              "\"; exec sleep 30; }\n"
              // As the bundle's script does once its disconnect has run.
              "rm -rf \"$(dirname \"$0\")/kept/environ\" \"$(dirname \"$0\")/kept/state\"\n");
    fs::permissions(script_, fs::perms::owner_all);
    ASSERT_TRUE(NetworkUndo(kept_.string(), resolver_.string()).prepare(root_.string()));
  }
  void TearDown() override { fs::remove_all(root_); }

  // A configured tunnel: its environment, boot, saved state and the resolver it wrote.
  void configured(const std::string& environ, const std::string& boot) {
    write(kept_ / "environ", environ);
    write(kept_ / "boot_id", boot + "\n");
    fs::create_directories(kept_ / "state");
    write(kept_ / "state" / "resolv.conf-backup.77", kOwn);
    write(kept_ / "state" / "defaultroute.77", "default via 192.0.2.1 dev eth0\n");
    write(kept_ / "resolv.conf.written", kVpn);
  }

  [[nodiscard]] NetworkUndo undo() const { return NetworkUndo(kept_.string(), resolver_.string()); }

  static constexpr const char* kOwn = "nameserver 192.0.2.53\n";
  static constexpr const char* kVpn = "#@VPNC_GENERATED@\nnameserver 10.213.8.1\n";
  fs::path root_, kept_, resolver_, script_;
};

TEST_F(NetworkUndoTest, ReplaysTheDisconnectWithTheKeptEnvironmentByteExactOnce) {
  // Server-supplied values stay as they came: a newline, shell syntax, no trailing newline.
  const std::vector<std::string> given{"reason=connect", "TUNDEV=tun7",
                                       "CISCO_BANNER=line one\nline two $(reboot) `id` '\"",
                                       "VPNGATEWAY=172.31.8.1"};
  std::string environ;
  for (const auto& entry : given) {
    environ += entry + '\0';
  }
  environ.pop_back();
  configured(environ, "boot-a");
  write(resolver_, kVpn);
  std::vector<std::string> lines;
  const auto entry = undo().recover(
      script_.string(), "boot-a", [&](const std::string& line) { lines.push_back(line); },
      milliseconds(5000));
  ASSERT_TRUE(entry.has_value());
  EXPECT_NE(entry->find("tun7"), std::string::npos) << *entry;
  EXPECT_NE(entry->find("the default route"), std::string::npos) << *entry;
  EXPECT_NE(entry->find("script status 0"), std::string::npos) << *entry;
  EXPECT_EQ(lines, std::vector<std::string>{"restoring tun7"});

  auto ran = readWhole(root_ / "ran-with");
  std::vector<std::string> entries;
  for (std::size_t at = 0, end = 0; at < ran.size(); at = end + 1) {
    end = ran.find('\0', at);
    entries.push_back(ran.substr(at, end - at));
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"TUNDEV=tun7",
                                               "CISCO_BANNER=line one\nline two $(reboot) `id` '\"",
                                               "VPNGATEWAY=172.31.8.1", "reason=disconnect"}));
  EXPECT_FALSE(undo().pending());
  fs::remove(root_ / "ran-with");
  EXPECT_EQ(undo().replay(script_.string(), {}, milliseconds(5000)), std::nullopt);
  EXPECT_FALSE(fs::exists(root_ / "ran-with"));
}

bool running(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  return std::getline(in, stat) && stat.find(") Z") == std::string::npos;
}

// Killed at its bound with everything it started, and still owed: the next try replays it.
TEST_F(NetworkUndoTest, AReplayThatHangsIsKilledAtItsBoundWithItsGroupAndStaysOwed) {
  configured(std::string("reason=connect\0HANG=1", 21), "boot-a");
  const auto started = std::chrono::steady_clock::now();
  const auto entry = undo().replay(script_.string(), {}, milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  ASSERT_TRUE(entry.has_value());
  EXPECT_NE(entry->find("killed"), std::string::npos) << *entry;
  for (const auto* left : {"pid", "grandchild"}) {
    SCOPED_TRACE(left);
    const auto pid = readWhole(root_ / left);
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(running(std::to_string(std::stoi(pid))));
  }
  EXPECT_TRUE(undo().pending());

  write(kept_ / "environ", "reason=connect\0TUNDEV=tun3"s);
  const auto again = undo().replay(script_.string(), {}, milliseconds(5000));
  ASSERT_TRUE(again.has_value());
  EXPECT_NE(again->find("script status 0"), std::string::npos) << *again;
  EXPECT_FALSE(undo().pending());
}

// A replay that cannot even start (no descriptor left for its pipe) keeps what it owes, and
// the next try, with descriptors again, replays it.
TEST_F(NetworkUndoTest, AReplayThatCouldNotStartIsTriedAgain) {
  configured("reason=connect\0TUNDEV=tun4"s, "boot-a");
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  int lowestFree = -1;
  {
    const platform::posix::UniqueFd probe(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    lowestFree = probe.get();
  }
  ASSERT_GE(lowestFree, 0);
  rlimit none = before;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);  // every descriptor from here on fails
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const auto failed = undo().replay(script_.string(), {}, milliseconds(5000));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
  ASSERT_TRUE(failed.has_value());
  EXPECT_NE(failed->find("cannot restore the network yet"), std::string::npos) << *failed;
  EXPECT_TRUE(undo().pending());
  EXPECT_FALSE(fs::exists(root_ / "ran-with"));

  const auto again = undo().replay(script_.string(), {}, milliseconds(5000));
  ASSERT_TRUE(again.has_value());
  EXPECT_NE(again->find("script status 0"), std::string::npos) << *again;
  EXPECT_FALSE(undo().pending());
}

// A start over a disconnect still owed replays it first; one it cannot replay is refused.
TEST_F(NetworkUndoTest, PreparingReplaysWhatAnEarlierTunnelOwesOrRefuses) {
  struct Case {
    const char* name;
    std::string script;
    bool ready;
  };
  const std::vector<Case> cases{
      {"replayed", script_.string(), true},
      {"cannot start", (root_ / "missing").string(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path copy = root_ / (std::string("copy-") + (c.ready ? "a" : "b"));
    fs::create_directories(copy);
    if (c.ready) {
      fs::copy_file(c.script, copy / "vpnc-script");
    }
    configured("reason=connect\0TUNDEV=tun5"s, "boot-a");
    const auto ready = undo().prepare(copy.string(), {}, milliseconds(5000));
    EXPECT_EQ(ready.has_value(), c.ready) << (ready ? "" : ready.error());
    EXPECT_EQ(undo().pending(), !c.ready);
  }
}

// Only entries that name a variable reach the script; one too large for any script to take
// gives the resolver back and is not kept for ever.
TEST_F(NetworkUndoTest, TheKeptEnvironmentIsCheckedBeforeItIsHandedOn) {
  configured("reason=connect\0TUNDEV=tun7\0BAD NAME=x\0=y\0noequals\0LD-X=1"s, "boot-a");
  ASSERT_TRUE(undo().replay(script_.string(), {}, milliseconds(5000)).has_value());
  EXPECT_EQ(readWhole(root_ / "ran-with"), "TUNDEV=tun7\0reason=disconnect\0"s);

  fs::remove(root_ / "ran-with");
  configured("reason=connect", "boot-a");
  write(kept_ / "environ", "A=" + std::string(NetworkUndo::kMaxEnvironmentBytes, 'x'));
  write(resolver_, kVpn);
  const auto entry = undo().replay(script_.string(), {}, milliseconds(5000));
  ASSERT_TRUE(entry.has_value());
  EXPECT_NE(entry->find("exceeds"), std::string::npos) << *entry;
  EXPECT_FALSE(fs::exists(root_ / "ran-with"));
  EXPECT_EQ(readWhole(resolver_), kOwn);
  EXPECT_FALSE(undo().pending());
}

// After a power loss: no route and no script, only the resolver file, and only when it still
// holds exactly what the script wrote.
TEST_F(NetworkUndoTest, AfterAnotherBootOnlyTheScriptsOwnResolverFileIsGivenBack) {
  struct Case {
    const char* name;
    std::string resolverBefore;
    std::string resolverAfter;
  };
  const std::vector<Case> cases{
      {"still the script's", kVpn, kOwn},
      {"replaced since", "nameserver 198.51.100.1\n", "nameserver 198.51.100.1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    configured("reason=connect", "boot-a");
    write(resolver_, c.resolverBefore);
    const auto entry = undo().recover(script_.string(), "boot-b", {}, milliseconds(5000));
    ASSERT_TRUE(entry.has_value());
    EXPECT_NE(entry->find("no route touched"), std::string::npos) << *entry;
    EXPECT_EQ(readWhole(resolver_), c.resolverAfter);
    EXPECT_FALSE(fs::exists(root_ / "ran-with"));
    EXPECT_FALSE(undo().pending());
  }
}

}  // namespace
}  // namespace vantreel
