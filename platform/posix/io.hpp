#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "platform/posix/sys_error.hpp"
#include "platform/posix/unique_fd.hpp"

// Thin wrappers over the descriptor calls that several facilities share. Every descriptor they
// create is close-on-exec; EINTR is retried here and nowhere else.
namespace vantreel::platform::posix {

struct PipeEnds {
  UniqueFd read;
  UniqueFd write;
};

[[nodiscard]] SysResult<PipeEnds> makePipe();

// One read(2); 0 means end of file.
[[nodiscard]] SysResult<std::size_t> readSome(int fd, std::span<std::byte> buffer);

// Writes every byte, looping over short writes. Never raises SIGPIPE for sockets; for pipes
// the caller's SIGPIPE disposition applies (the programs ignore SIGPIPE).
[[nodiscard]] SysResult<void> writeAll(int fd, std::span<const std::byte> bytes);

// open(2) with O_CLOEXEC added to flags.
[[nodiscard]] SysResult<UniqueFd> openFile(const std::string& path, int flags, unsigned mode = 0);

// The null device, open for writing: a place for output that nobody is to see.
[[nodiscard]] SysResult<UniqueFd> openNullSink();

// Opens (creating it 0600 when asked) and takes an exclusive flock(2) on path, without
// waiting: EWOULDBLOCK when another open file description holds it. The lock lasts as long as
// the descriptor.
[[nodiscard]] SysResult<UniqueFd> lockFile(const std::string& path, bool create);

// dup(2) as a close-on-exec descriptor that the caller owns.
[[nodiscard]] SysResult<UniqueFd> duplicate(int fd);

// Whether fd is a terminal.
[[nodiscard]] bool isTerminal(int fd) noexcept;

// Opens the null device on whichever of descriptors 0, 1 and 2 is closed, so that no socket or
// pipe the program opens later can take a standard stream's number. For the start of main.
void reserveStandardDescriptors() noexcept;

// An eventfd that wakes a thread waiting on it: signalWake from any thread, drainWake by the
// waiter. Never raises SIGPIPE, whoever has gone.
[[nodiscard]] SysResult<UniqueFd> makeWakeFd();
void signalWake(int fd) noexcept;
void drainWake(int fd) noexcept;

// Waits until fd is readable (or hung up). nullopt timeout waits forever. Returns false when
// the timeout ran out first.
[[nodiscard]] SysResult<bool> waitReadable(int fd,
                                           std::optional<std::chrono::milliseconds> timeout);
// As waitReadable, for whichever of fds becomes readable first: its index, or nullopt when the
// timeout ran out first. A negative descriptor is never readable.
[[nodiscard]] SysResult<std::optional<std::size_t>> waitAnyReadable(
    std::span<const int> fds, std::optional<std::chrono::milliseconds> timeout);

}  // namespace vantreel::platform::posix
