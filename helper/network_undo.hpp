#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

  // The name of the link, beside the script in a copy directory, to the directory.
  static constexpr std::string_view linkName = "kept";

  // directory empty: nothing is kept and nothing is replayed. resolverFile is what the script
  // rewrites.
  explicit NetworkUndo(std::string directory, std::string resolverFile = "/etc/resolv.conf")
      : directory_(std::move(directory)), resolverFile_(std::move(resolverFile)) {}

  // Before a tunnel is launched from copyDirectory: the directory exists, root's only, holds
  // nothing of an earlier tunnel, and the script there finds it through linkName.
  void prepare(const std::string& copyDirectory) const;

  // Whether a configured tunnel's disconnect has not run.
  [[nodiscard]] bool pending() const;

  // Runs script with reason=disconnect and the kept environment when a disconnect is owed,
  // waits for it at most bound (then kills it), passes its output lines to sink, and forgets
  // what was kept whatever the outcome, so that nothing is ever undone twice. Yields the log
  // entry that says what was restored, or nothing when no disconnect was owed.
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
