#!/usr/bin/env bash
# How long OpenConnect, run as the daemon runs it, takes against ocserv in network namespaces:
# the median over RUNS (default 5) of launch -> "Connected tunN" line and SIGINT -> exit, per
# way of trusting the server, and how fast a wrong password or pin ends it. Root only.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/lib/tunnel.sh"

runs=${RUNS:-5}
roots=/etc/ssl/certs/ca-certificates.crt
if [ "$(id -u)" -ne 0 ]; then
  echo "openconnect_by_hand: run this as root" >&2
  exit 1
fi
trap vt_tunnel_down EXIT
trap 'exit 130' INT TERM

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
secs() { printf '%.3f' "$(bc <<<"$1")"; }

# session OPTIONS...: one connect and SIGINT; prints "<to line> <to exit>" in seconds.
session() {
  local log=$VT_TUNNEL_DIR/bench.log t ts rc=0
  vt_tunnel_openconnect_start "$VT_TUNNEL_DIR/app" "$log" "$@"
  if ! t=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$log" 60 "$VT_TUNNEL_OC_PID"); then
    echo "openconnect_by_hand: no interface line; OpenConnect said:" >&2
    sed 's/^/  /' "$log" >&2
    kill -KILL "$VT_TUNNEL_OC_PID" 2>/dev/null || true
    return 1
  fi
  ts=$EPOCHREALTIME
  kill -INT "$VT_TUNNEL_OC_PID"
  wait "$VT_TUNNEL_OC_PID" || rc=$?
  local te=$EPOCHREALTIME
  if [ "$rc" -ne 0 ]; then
    echo "openconnect_by_hand: OpenConnect ended with status $rc after SIGINT" >&2
    return 1
  fi
  vt_tunnel_wait_tun absent 10 || return 1
  echo "$(secs "$t - $VT_TUNNEL_OC_T0") $(secs "$te - $ts")"
}

# refusal OPTIONS...: one session that must end by itself; prints "<to exit> <status>".
refusal() {
  local log=$VT_TUNNEL_DIR/bench.log rc=0
  vt_tunnel_openconnect_start "$VT_TUNNEL_DIR/app" "$log" "$@"
  wait "$VT_TUNNEL_OC_PID" || rc=$?
  echo "$(secs "$EPOCHREALTIME - $VT_TUNNEL_OC_T0") $rc"
}

# measure LABEL OPTIONS...
measure() {
  local label=$1 out
  shift
  out=$(for _ in $(seq "$runs"); do session "$@" || exit 1; done) || return 1
  printf '%-38s %10s s %12s s\n' "$label" "$(cut -d' ' -f1 <<<"$out" | median)" \
    "$(cut -d' ' -f2 <<<"$out" | median)"
}

measure_refusal() {
  local label=$1 out
  shift
  out=$(for _ in $(seq "$runs"); do refusal "$@"; done)
  printf '%-38s %10s s %14s\n' "$label" "$(cut -d' ' -f1 <<<"$out" | median)" \
    "status $(cut -d' ' -f2 <<<"$out" | sort -u | paste -sd, -)"
}

echo "median of $runs runs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-38s %12s %14s\n' case "launch->line" "SIGINT->exit"

vt_tunnel_up self-signed
vt_tunnel_app_layout "$VT_TUNNEL_DIR/app"
measure "pin (--servercert)" --pin "$VT_TUNNEL_PIN"
measure "pin + system roots (daemon on Linux)" --pin "$VT_TUNNEL_PIN" --cafile "$roots"
measure_refusal "wrong password (ends by itself)" --pin "$VT_TUNNEL_PIN" --password wrong
measure_refusal "wrong pin (ends by itself)" \
  --pin "pin-sha256:$(head -c 32 /dev/urandom | base64)"
vt_tunnel_down

vt_tunnel_up ca
vt_tunnel_app_layout "$VT_TUNNEL_DIR/app"
measure "CA file (--cafile test CA)" --cafile "$VT_TUNNEL_CAFILE"
measure "CA in system roots (mount namespace)" --trust-test-ca --cafile "$roots"
