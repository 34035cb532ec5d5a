#!/usr/bin/env bash
# What signing in as the user costs: the median over RUNS (default 3) of the time from launching
# `vantreel-helperctl connect --sign-in` (password and one-time code piped) to OpenConnect's
# "Connected tunN" line, next to OpenConnect run by hand the same way: `--authenticate`, then
# root's `--cookie-on-stdin` with what it printed, from the first launch to the same line. The
# two alternate, so that both see the same load; the ratio is printed last.
#
#   bench/sign_in_timing.sh [BUNDLE]    (default build/default/bundle/Vantreel.app)
#
# Root only; uses ocserv in network namespaces of its own (scripts/lib/tunnel.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/lib/tunnel.sh"

runs=${RUNS:-3}
bundle=${1:-$here/../build/default/bundle/Vantreel.app}
if [ "$(id -u)" -ne 0 ]; then
  echo "sign_in_timing: run this as root" >&2
  exit 1
fi
if [ ! -x "$bundle/Contents/MacOS/vantreel-helperctl" ]; then
  echo "sign_in_timing: no signed bundle at $bundle; build the default preset first" >&2
  exit 1
fi
bundle=$(cd "$bundle" && pwd)
# OpenConnect by hand runs as the code that built this bundle runs it.
harness=${bundle%/bundle/Vantreel.app}/tests/harness
export VT_TUNNEL_INVOCATION=${VT_TUNNEL_INVOCATION:-$harness/openconnect_invocation}
ctl=$bundle/Contents/MacOS/vantreel-helperctl

VANTREEL_SERVICE_DIR=$(mktemp -d /tmp/vt-bench.XXXXXX)
export VANTREEL_SERVICE_DIR
work=$VANTREEL_SERVICE_DIR
cleanup() {
  vt_tunnel_down
  rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
up_line='Connected (tun|utun|tap)[0-9]+ as '
has_up_line() { grep -qE "$up_line" "$1"; }

VT_TUNNEL_OTP=1 vt_tunnel_up self-signed
vt_tunnel_app_layout "$work/layout"
vt_tunnel_daemon_start "$bundle" "$work/daemon.log"
oc=$work/layout/openconnect

# Each run takes the code vt_tunnel_totp set in this shell (it keeps the last window used here).
# One sign-in through the tool; prints the seconds to the interface line.
through_tool() {
  local fd t0 t1 pid
  rm -f "$work/in" && mkfifo "$work/in" && : >"$work/tool.out"
  vt_tunnel_client_prefix
  t0=$EPOCHREALTIME
  "${VT_TUNNEL_CLIENT_CMD[@]}" "$ctl" connect --sign-in --server "$VT_TUNNEL_SERVER" \
    --user "$VT_TUNNEL_USER" --servercert "$VT_TUNNEL_PIN" <"$work/in" >"$work/tool.out" 2>&1 &
  pid=$!
  exec {fd}>"$work/in"
  printf '%s\n%s\n' "$VT_TUNNEL_PASSWORD" "$VT_TUNNEL_OTP_CODE" >&"$fd"
  _vt_tunnel_poll 60 has_up_line "$work/tool.out"
  t1=$EPOCHREALTIME
  exec {fd}>&-
  wait "$pid" || true
  vt_tunnel_wait_tun absent 30 >/dev/null || true
  bc <<<"$t1 - $t0"
}

# The same by hand: authenticate as any user would, then connect with the cookie as root.
by_hand() {
  local t0 t1 pid printed COOKIE='' CONNECT_URL='' FINGERPRINT='' RESOLVE='' HOST=''
  t0=$EPOCHREALTIME
  printed=$(printf '%s\n%s\n' "$VT_TUNNEL_PASSWORD" "$VT_TUNNEL_OTP_CODE" |
    vt_tunnel_client env LC_ALL=C.UTF-8 "$oc" --authenticate --protocol=anyconnect \
      --user "$VT_TUNNEL_USER" --servercert "$VT_TUNNEL_PIN" "https://$VT_TUNNEL_SERVER" 2>/dev/null)
  eval "$printed"
  : "$HOST"
  # Root's part as the daemon runs it, from the daemon's own code.
  vt_tunnel_invocation "$work/layout" --connect-url "$CONNECT_URL" --servercert "$FINGERPRINT" \
    --resolve "$RESOLVE" || return 1
  vt_tunnel_client_prefix
  "${VT_TUNNEL_CLIENT_CMD[@]}" env -i --default-signal "${VT_TUNNEL_OC_ENV[@]}" \
    "$VT_TUNNEL_OC_PROGRAM" "${VT_TUNNEL_OC_ARGS[@]}" <<<"$COOKIE" >"$work/hand.out" 2>&1 &
  pid=$!
  _vt_tunnel_poll 60 has_up_line "$work/hand.out"
  t1=$EPOCHREALTIME
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || true
  vt_tunnel_wait_tun absent 30 >/dev/null || true
  bc <<<"$t1 - $t0"
}

tool=() hand=()
for ((i = 0; i < runs; i++)); do
  # The server takes codes at most three windows ahead: a quick series waits for the next one.
  until vt_tunnel_totp 2>/dev/null; do sleep 1; done
  tool+=("$(through_tool)")
  until vt_tunnel_totp 2>/dev/null; do sleep 1; done
  hand+=("$(by_hand)")
done
t=$(printf '%s\n' "${tool[@]}" | median)
h=$(printf '%s\n' "${hand[@]}" | median)
echo "sign-in through the tool to the interface line: median ${t}s (${tool[*]})"
echo "by hand, --authenticate then --cookie-on-stdin: median ${h}s (${hand[*]})"
echo "ratio: $(bc -l <<<"scale=2; $t / $h")"
