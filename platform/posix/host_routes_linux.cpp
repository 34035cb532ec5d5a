#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/posix/host_routes.hpp"
#include "platform/posix/io.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vantreel::platform::posix {
namespace {

constexpr auto kAnswerBound = std::chrono::seconds(1);

struct DeleteRequest {
  nlmsghdr header;
  rtmsg route;
  std::array<char, RTA_SPACE(sizeof(in_addr))> destination;
};

DeleteRequest deleteRequest(in_addr address, std::uint32_t sequence) {
  DeleteRequest request{};
  request.header.nlmsg_len = sizeof(request);
  request.header.nlmsg_type = RTM_DELROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  request.header.nlmsg_seq = sequence;
  request.route.rtm_family = AF_INET;
  request.route.rtm_dst_len = 32;
  request.route.rtm_table = RT_TABLE_MAIN;
  // Type, protocol and scope left open (unspecified, or "nowhere" for the scope) match any.
  request.route.rtm_scope = RT_SCOPE_NOWHERE;
  auto* attribute = reinterpret_cast<rtattr*>(request.destination.data());
  attribute->rta_type = RTA_DST;
  attribute->rta_len = RTA_LENGTH(sizeof(in_addr));
  std::memcpy(RTA_DATA(attribute), &address, sizeof(address));
  return request;
}

// The kernel's acknowledgement of sequence: 0 or a negated errno.
SysResult<int> awaitAcknowledgement(int fd, std::uint32_t sequence) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerBound;
  alignas(nlmsghdr) std::array<char, 8192> buffer{};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    auto readable = waitReadable(fd, std::max(left, std::chrono::milliseconds(0)));
    if (!readable) {
      return tl::unexpected(readable.error());
    }
    if (!*readable) {
      return tl::unexpected(SysError{ETIMEDOUT, "route netlink answer"});
    }
    auto got = readSome(fd, std::as_writable_bytes(std::span(buffer)));
    if (!got) {
      return tl::unexpected(got.error());
    }
    // Walked by hand: the header's macros compare its unsigned lengths with signed ones.
    constexpr std::size_t kHeader = NLMSG_ALIGN(sizeof(nlmsghdr));
    for (std::size_t offset = 0; offset + kHeader <= *got;) {
      nlmsghdr header{};
      std::memcpy(&header, buffer.data() + offset, sizeof(header));
      if (header.nlmsg_len < kHeader || header.nlmsg_len > *got - offset) {
        break;
      }
      if (header.nlmsg_seq == sequence && header.nlmsg_type == NLMSG_ERROR &&
          header.nlmsg_len >= kHeader + sizeof(nlmsgerr)) {
        nlmsgerr answer{};
        std::memcpy(&answer, buffer.data() + offset + kHeader, sizeof(answer));
        return answer.error;
      }
      offset += NLMSG_ALIGN(static_cast<std::size_t>(header.nlmsg_len));
    }
  }
}

}  // namespace

SysResult<bool> removeHostRoute(const std::string& ipv4) {
  in_addr address{};
  if (::inet_pton(AF_INET, ipv4.c_str(), &address) != 1) {
    return tl::unexpected(SysError{EINVAL, "route to " + ipv4});
  }
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!fd) {
    return tl::unexpected(lastError("route netlink socket"));
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  constexpr std::uint32_t kSequence = 1;
  const DeleteRequest request = deleteRequest(address, kSequence);
  if (::sendto(fd.get(), &request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&kernel),
               sizeof(kernel)) != static_cast<ssize_t>(sizeof(request))) {
    return tl::unexpected(lastError("route netlink request"));
  }
  const auto answer = awaitAcknowledgement(fd.get(), kSequence);
  if (!answer) {
    return tl::unexpected(answer.error());
  }
  if (*answer == 0) {
    return true;
  }
  if (*answer == -ESRCH) {
    return false;
  }
  return tl::unexpected(SysError{-*answer, "remove route to " + ipv4});
}

}  // namespace vantreel::platform::posix
