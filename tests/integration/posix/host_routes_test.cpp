#include "platform/posix/host_routes.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::posix {
namespace {

sockaddr_in ipv4(const char* text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, text, &address.sin_addr);
  return address;
}

// A host route through the loopback device, put in through the kernel's older route interface
// so that the test does not lean on what it tests.
bool addHostRoute(int fd, const char* destination) {
  rtentry route{};
  const sockaddr_in address = ipv4(destination);
  std::memcpy(&route.rt_dst, &address, sizeof(address));
  route.rt_flags = RTF_UP | RTF_HOST;
  std::string device = "lo";
  route.rt_dev = device.data();
  return ::ioctl(fd, SIOCADDRT, &route) == 0;
}

// The main table's destinations, as /proc shows them for this thread's network namespace
// (little-endian hexadecimal).
std::string routeTable() {
  std::ifstream in("/proc/thread-self/net/route");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// In a network namespace of the test thread's own: the host routes of the machine are never
// touched.
TEST(HostRoutes, RemovesOnlyTheHostRouteAskedForAndTellsWhetherThereWasOne) {
  std::string skipped;
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0) {
      skipped = "no network namespace of its own here";
      return;
    }
    const UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(fd);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    loopback.ifr_flags = IFF_UP;
    ASSERT_EQ(::ioctl(fd.get(), SIOCSIFFLAGS, &loopback), 0);
    ASSERT_TRUE(addHostRoute(fd.get(), "10.9.9.1"));
    ASSERT_TRUE(addHostRoute(fd.get(), "10.9.9.2"));
    ASSERT_NE(routeTable().find("0109090A"), std::string::npos);

    EXPECT_EQ(removeHostRoute("10.9.9.1"), true);
    EXPECT_EQ(routeTable().find("0109090A"), std::string::npos);
    EXPECT_NE(routeTable().find("0209090A"), std::string::npos) << "another route went too";
    EXPECT_EQ(removeHostRoute("10.9.9.1"), false) << "a second removal found one";
    EXPECT_EQ(removeHostRoute("10.9.9.3"), false);
    for (const char* text : {"", "10.9.9", "10.9.9.1/32", "::1", "host.example"}) {
      const auto refused = removeHostRoute(text);
      ASSERT_FALSE(refused) << text;
      EXPECT_EQ(refused.error().code, EINVAL) << text;
    }
  }).join();
  if (!skipped.empty()) {
    GTEST_SKIP() << skipped;
  }
}

}  // namespace
}  // namespace vantreel::platform::posix
