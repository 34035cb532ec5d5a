#!/usr/bin/env bash
# What going through the daemon costs: the median over RUNS (default 5) of the time from
# launching `vantreel-helperctl connect` to OpenConnect's "Connected tunN" line on its output,
# and from closing its standard input to its exit (the tunnel down, the daemon idle), next to
# the same two figures for OpenConnect run by hand as the daemon runs it (launch -> line,
# SIGINT -> exit). Daemon and by-hand runs alternate, so that both see the same load.
#
#   bench/e2e_connect_timing.sh [BUNDLE]    (default build/default/bundle/Vantreel.app)
#
# Root only; uses ocserv in network namespaces of its own (scripts/lib/tunnel.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/lib/tunnel.sh"

runs=${RUNS:-5}
roots=/etc/ssl/certs/ca-certificates.crt
bundle=${1:-$here/../build/default/bundle/Vantreel.app}
if [ "$(id -u)" -ne 0 ]; then
  echo "e2e_connect_timing: run this as root" >&2
  exit 1
fi
if [ ! -x "$bundle/Contents/MacOS/vantreel-helperctl" ]; then
  echo "e2e_connect_timing: no signed bundle at $bundle; build the default preset first" >&2
  exit 1
fi
bundle=$(cd "$bundle" && pwd)

VANTREEL_SERVICE_DIR=$(mktemp -d /tmp/vt-bench.XXXXXX)
export VANTREEL_SERVICE_DIR
cleanup() {
  local fd
  for fd in "${VT_TUNNEL_CONNECT_FDS[@]}"; do vt_tunnel_connect_close "$fd"; done
  vt_tunnel_down
  rm -rf -- "$VANTREEL_SERVICE_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
secs() { printf '%.3f' "$(bc <<<"$1")"; }
gone() { ! vt_tunnel_proc_alive "$1"; }
fail() {
  echo "e2e_connect_timing: $1; its output:" >&2
  sed 's/^/  /' "$2" >&2 || true
}

# through_daemon OPTIONS...: one connect through the daemon, ended by closing its input;
# prints "<to line> <to exit>" in seconds.
through_daemon() {
  local out=$VT_TUNNEL_DIR/connect.out err=$VT_TUNNEL_DIR/connect.err t ts te rc=0 pid
  vt_tunnel_connect_start "$bundle" "$out" "$err" "$@"
  pid=$VT_TUNNEL_CONNECT_PID
  if ! t=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$out" 60 "$pid"); then
    vt_tunnel_connect_close
    fail "no interface line through the daemon" "$out"
    return 1
  fi
  ts=$EPOCHREALTIME
  vt_tunnel_connect_close
  if ! _vt_tunnel_poll 60 gone "$pid"; then
    kill -KILL "$pid"
    fail "connect did not exit after its input closed" "$out"
    return 1
  fi
  te=$EPOCHREALTIME
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || { fail "connect ended with status $rc" "$err" && return 1; }
  vt_tunnel_wait_tun absent 10 || { fail "the tun interface stayed" "$out" && return 1; }
  echo "$(secs "$t - $VT_TUNNEL_CONNECT_T0") $(secs "$te - $ts")"
}

# by_hand OPTIONS...: the same session with OpenConnect started and interrupted directly.
by_hand() {
  local log=$VT_TUNNEL_DIR/by-hand.log t ts te rc=0
  vt_tunnel_openconnect_start "$VT_TUNNEL_DIR/app" "$log" "$@"
  if ! t=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$log" 60 "$VT_TUNNEL_OC_PID"); then
    kill -KILL "$VT_TUNNEL_OC_PID" 2>/dev/null || true
    fail "no interface line by hand" "$log"
    return 1
  fi
  ts=$EPOCHREALTIME
  kill -INT "$VT_TUNNEL_OC_PID"
  wait "$VT_TUNNEL_OC_PID" || rc=$?
  te=$EPOCHREALTIME
  [ "$rc" -eq 0 ] || { fail "OpenConnect ended with status $rc after SIGINT" "$log" && return 1; }
  vt_tunnel_wait_tun absent 10 || { fail "the tun interface stayed" "$log" && return 1; }
  echo "$(secs "$t - $VT_TUNNEL_OC_T0") $(secs "$te - $ts")"
}

# measure LABEL DAEMON_OPTIONS -- BY_HAND_OPTIONS
measure() {
  local label=$1 daemon_opts=() hand_opts=() daemon_out='' hand_out='' i
  shift
  while [ "$1" != -- ]; do
    daemon_opts+=("$1")
    shift
  done
  shift
  hand_opts=("$@")
  for ((i = 0; i < runs; i++)); do
    daemon_out+="$(through_daemon "${daemon_opts[@]}")"$'\n' || return 1
    hand_out+="$(by_hand "${hand_opts[@]}")"$'\n' || return 1
  done
  printf '%-32s %18s s %18s s %18s s %18s s\n' "$label" \
    "$(grep . <<<"$daemon_out" | cut -d' ' -f1 | median)" \
    "$(grep . <<<"$hand_out" | cut -d' ' -f1 | median)" \
    "$(grep . <<<"$daemon_out" | cut -d' ' -f2 | median)" \
    "$(grep . <<<"$hand_out" | cut -d' ' -f2 | median)"
}

echo "median of $runs runs; load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-32s %20s %20s %20s %20s\n' case "daemon: ->line" "by hand: ->line" \
  "daemon: close->exit" "by hand: INT->exit"

vt_tunnel_up self-signed
vt_tunnel_app_layout "$VT_TUNNEL_DIR/app"
vt_tunnel_daemon_start "$bundle" "$VT_TUNNEL_DIR/daemon.log"
measure "pin (self-signed server)" --servercert "$VT_TUNNEL_PIN" -- --pin "$VT_TUNNEL_PIN"
vt_tunnel_down

vt_tunnel_up ca
vt_tunnel_app_layout "$VT_TUNNEL_DIR/app"
vt_tunnel_daemon_start "$bundle" "$VT_TUNNEL_DIR/daemon.log" --trust-test-ca
measure "CA in the system roots" -- --trust-test-ca --cafile "$roots"
