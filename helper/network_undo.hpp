#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

namespace vantreel {

// What undoing a tunnel's changes to the machine's network needs, and the undo itself.
//
// The routing script undoes its changes only when OpenConnect runs it with reason=disconnect.
// While a tunnel is configured the bundle's script keeps, in this root-only directory, the
// environment OpenConnect gave it (byte-exact, NUL-separated: the values come from the server),
// the boot it ran in, the distribution script's saved state and the resolver file it wrote; a
// disconnect that ran removes them. Whatever else ended the tunnel, a disconnect is owed, and
// this replays it with the script copy the tunnel ran with.
class NetworkUndo {
 public:
  using LineSink = std::function<void(const std::string& line)>;

  // The longest a replay may run, however many routes it removes.
  static constexpr std::chrono::milliseconds kMaxReplayBound{std::chrono::seconds(90)};

  // The most of a kept environment a replay hands on; the kernel refuses larger ones anyway.
  static constexpr std::size_t kMaxEnvironmentBytes = std::size_t{1} << 20;

  // The name of the link, beside the script in a copy directory, to the directory.
  static constexpr std::string_view linkName = "kept";

  // directory empty: nothing is kept and nothing is replayed. resolverFile is what the script
  // rewrites.
  explicit NetworkUndo(std::string directory, std::string resolverFile = "/etc/resolv.conf")
      : directory_(std::move(directory)), resolverFile_(std::move(resolverFile)) {}

  // Before a tunnel is launched from copyDirectory: the directory exists, root's only, and the
  // script there finds it through linkName. A disconnect an earlier tunnel still owes is
  // replayed first, with that script, its lines going to sink; what else an earlier tunnel
  // left is removed. Fails, and the tunnel must not start, when the directory cannot be made
  // ready or the owed disconnect is still owed after its replay.
  [[nodiscard]] tl::expected<void, std::string> prepare(
      const std::string& copyDirectory, const LineSink& sink = {},
      std::chrono::milliseconds bound = std::chrono::seconds(5)) const;

  // Whether a configured tunnel's disconnect has not run.
  [[nodiscard]] bool pending() const;

  // Runs script with reason=disconnect and the kept environment when a disconnect is owed,
  // waits for it at most bound, more for each split route, up to kMaxReplayBound (then kills it
  // and all it started), and passes its output lines
  // to sink. What was kept is forgotten once the script has run to its end, whatever its
  // status, so that nothing is undone twice; a replay that could not start or was cut keeps it
  // for the next try. Yields the log entry that says what was restored, or nothing when no
  // disconnect was owed.
  [[nodiscard]] std::optional<std::string> replay(const std::string& script, const LineSink& sink,
                                                  std::chrono::milliseconds bound) const;

  // For a daemon that starts while a disconnect is owed. In the boot the tunnel was configured
  // in, the disconnect is replayed with script when the tunnel's copy still exists. After a
  // reboot the tunnel's routes and interface went with the boot and only the resolver file can
  // still be the script's: it gets the machine's own back only while it holds exactly what the
  // script wrote, and no route is touched. Forgets what was kept; yields the log entry.
  [[nodiscard]] std::optional<std::string> recover(const std::optional<std::string>& script,
                                                   const std::string& bootId, const LineSink& sink,
                                                   std::chrono::milliseconds bound) const;

  // Once a tunnel has ended and its undo is done: removes the directory when nothing is left in
  // it, so that services that come and go (each with a directory of its own) leave nothing.
  void release() const;

 private:
  [[nodiscard]] std::string path(std::string_view name) const;
  // The start of the log entry: what the kept state says the disconnect restores.
  [[nodiscard]] std::string restoring() const;
  [[nodiscard]] std::string restoreResolverOnly() const;
  void forget() const;

  std::string directory_;
  std::string resolverFile_;
};

}  // namespace vantreel
