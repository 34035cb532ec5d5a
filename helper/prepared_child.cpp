#include "helper/prepared_child.hpp"

#include "helper/helper_log.hpp"
#include "helper/network_undo.hpp"
#include "helper/system_roots.hpp"
#include "helper/verified_copy_cache.hpp"

namespace vantreel {

tl::expected<PreparedChild, RunnerError> PreparedChild::prepare(const StartRequest& request,
                                                                const std::string& appBundle,
                                                                const RunnerSettings& settings) {
  auto validated = ValidatedStart::from(request);
  if (!validated) {
    return tl::unexpected(validated.error());
  }
  auto copies = VerifiedCopyCache(settings).copiesOf(appBundle);
  if (!copies) {
    return tl::unexpected(copies.error());
  }
  // A tunnel never runs without its undo, nor over a disconnect an earlier one still owes.
  if (auto ready =
          NetworkUndo(settings.keptDirectory)
              .prepare((*copies)->directory(),
                       [](const std::string& line) { HelperLog::info("vpnc-script: " + line); },
                       settings.disconnectBound);
      !ready) {
    return tl::unexpected(RunnerError::spawnFailed(ready.error()));
  }
  // A pinned start trusts nothing else: it needs no export.
  const auto cafile = validated->usesTrustStore() ? SystemRoots::exportFor(settings) : std::nullopt;
  PreparedChild prepared;
  prepared.invocation = validated->invocation(
      (*copies)->directory(), cafile ? std::optional<std::string_view>(*cafile) : std::nullopt);
  prepared.copies = std::move(*copies);
  prepared.server = validated->server();
  prepared.takesCookie = validated->takesCookie();
  return prepared;
}

}  // namespace vantreel
