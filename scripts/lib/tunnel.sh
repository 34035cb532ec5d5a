# A real tunnel to test against: ocserv in one network namespace, the client side in another,
# joined by a veth pair, and the daemon's OpenConnect, the daemon and its control tool run in it.
# Sourced by the demo, the end-to-end tests and the benches; bash, root only, safe under
# `set -euo pipefail`.
#
#   tunnel_server.sh   the namespaces and ocserv: vt_tunnel_up/down, the client namespace's
#                      prefix, waits on the tun interface, ping, one-time codes
#   tunnel_daemon.sh   OpenConnect by hand from the daemon's own invocation, the daemon and the
#                      control tool's connect
#
# Each file lists its functions and what they export.
# shellcheck shell=bash

# shellcheck source=scripts/lib/tunnel_server.sh
. "$(dirname "${BASH_SOURCE[0]}")/tunnel_server.sh"
# shellcheck source=scripts/lib/tunnel_daemon.sh
. "$(dirname "${BASH_SOURCE[0]}")/tunnel_daemon.sh"
