// What naming the sender of every received frame costs the transport: a small frame sent and
// received over a SOCK_SEQPACKET pair, without sender credentials, with SO_PASSCRED (the pid,
// judged against a live pidfd) and with SO_PASSPIDFD as well (a pidfd per frame, judged by its
// inode). Prints microseconds per frame for each.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/posix/unique_fd.hpp"
#include "platform/xpc/frame.hpp"
#include "platform/xpc/seqpacket_socket.hpp"

namespace {

using vantreel::platform::posix::UniqueFd;
namespace seqpacket = vantreel::platform::xpc::seqpacket;

enum class Mode { none, credentials, pidfds };

double microsecondsPerFrame(Mode mode, int frames) {
  int pair[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    std::perror("socketpair");
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
  }
  const UniqueFd sender(pair[0]);
  const UniqueFd receiver(pair[1]);
  const int on = 1;
  if (mode != Mode::none) {
    (void)::setsockopt(receiver.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  }
  if (mode == Mode::pidfds && !seqpacket::enableSenderCredentials(receiver.get())) {
    std::perror("SO_PASSPIDFD");
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
  }
  const UniqueFd self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
  const auto key = mode == Mode::pidfds ? seqpacket::processKey(self.get()) : std::nullopt;
  const auto frame =
      vantreel::platform::xpc::Frame{
          vantreel::platform::xpc::Frame::Kind::call, 7,
          "statusWithReply:", vantreel::platform::xpc::ArchivedObject::array()}
          .encode();
  int refused = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < frames; ++i) {
    if (!seqpacket::sendDatagram(sender.get(), frame, {}, false)) {
      std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
    }
    auto received = seqpacket::receiveDatagram(receiver.get());
    if (!received) {
      std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
    }
    if (mode != Mode::none && seqpacket::judgeSender(received->sender, ::getpid(), self.get(),
                                                     key) != seqpacket::SenderVerdict::peer) {
      ++refused;
    }
  }
  const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - begin;
  if (refused != 0) {
    (void)std::fprintf(stderr, "%d frames were not attributed to their sender\n", refused);
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): one thread
  }
  return took.count() / frames;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 200000;
  for (int round = 0; round < 3; ++round) {
    const double none = microsecondsPerFrame(Mode::none, frames);
    const double credentials = microsecondsPerFrame(Mode::credentials, frames);
    const double pidfds = microsecondsPerFrame(Mode::pidfds, frames);
    std::printf(
        "send+receive per frame: %.3f us unchecked, %.3f us with SO_PASSCRED (+%.3f), "
        "%.3f us with SO_PASSPIDFD (+%.3f)\n",
        none, credentials, credentials - none, pidfds, pidfds - none);
  }
  return 0;
}
