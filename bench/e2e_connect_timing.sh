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
# OpenConnect by hand runs as the code that built this bundle runs it.
harness=${bundle%/bundle/Vantreel.app}/tests/harness
export VT_TUNNEL_INVOCATION=${VT_TUNNEL_INVOCATION:-$harness/openconnect_invocation}

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
fail() {
  echo "e2e_connect_timing: $1; its output:" >&2
  sed 's/^/  /' "$2" >&2 || true
}

# through_daemon OPTIONS...: one connect through the daemon, ended by closing its input;
# prints "<to line> <to exit>" in seconds.
through_daemon() {
  local out=$VT_TUNNEL_DIR/connect.out err=$VT_TUNNEL_DIR/connect.err t ts te rc=0 pid watchdog
  vt_tunnel_connect_start "$bundle" "$out" "$err" "$@"
  pid=$VT_TUNNEL_CONNECT_PID
  if ! t=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$out" 60 "$pid"); then
    vt_tunnel_connect_close
    fail "no interface line through the daemon" "$out"
    return 1
  fi
  # Waited for, not polled, as the by-hand run is: a poll would add up to its period. The
  # watchdog kills connect should it not end; it takes its sleep along when it is told to go,
  # and holds no write end of connect's input, which would keep that input from ending.
  (
    _vt_tunnel_close_fifos
    trap 'kill "$nap" 2>/dev/null; exit 0' TERM
    sleep 60 &
    nap=$!
    wait "$nap" && kill -KILL "$pid" 2>/dev/null
  ) &
  watchdog=$!
  ts=$EPOCHREALTIME
  vt_tunnel_connect_close
  wait "$pid" || rc=$?
  te=$EPOCHREALTIME
  kill "$watchdog" 2>/dev/null || true
  wait "$watchdog" 2>/dev/null || true
  [ "$rc" -ne 137 ] || { fail "connect did not exit after its input closed" "$out" && return 1; }
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

# Where the daemon's time goes in one more session, step by step: the daemon's system calls
# traced (strace, filtered in the kernel so that other calls run untraced) while connect runs,
# each step's first call in milliseconds after the tool's launch or its input's end. The trace
# slows what it sees a little; the medians above are taken without it. BREAKDOWN=0 skips it.
breakdown() {
  local trace=$VT_TUNNEL_DIR/daemon.trace out=$VT_TUNNEL_DIR/connect.out
  local err=$VT_TUNNEL_DIR/connect.err tracer pid t0 t1 te rc=0
  if ! command -v strace >/dev/null; then
    echo "breakdown: strace is not installed; skipped"
    return 0
  fi
  strace -f -ttt -s 200 --seccomp-bpf -o "$trace" -p "$VT_TUNNEL_DAEMON_PID" \
    -e trace=accept4,recvmsg,sendmsg,openat,execve,socket,pidfd_send_signal,waitid,exit_group \
    2>/dev/null &
  tracer=$!
  sleep 1
  vt_tunnel_connect_start "$bundle" "$out" "$err" "$@"
  pid=$VT_TUNNEL_CONNECT_PID
  t0=$VT_TUNNEL_CONNECT_T0
  if ! vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$out" 60 "$pid" >/dev/null; then
    vt_tunnel_connect_close
    kill "$tracer" 2>/dev/null || true
    fail "no interface line through the daemon" "$out"
    return 1
  fi
  sleep 0.5
  t1=$EPOCHREALTIME
  vt_tunnel_connect_close
  wait "$pid" || rc=$?
  te=$EPOCHREALTIME
  sleep 0.5
  kill "$tracer" 2>/dev/null || true
  wait "$tracer" 2>/dev/null || true
  awk -v t0="$t0" -v t1="$t1" -v te="$te" '
    function mark(label, at) { if (!(label in seen)) { seen[label] = 1; order[++n] = label; when[label] = at } }
    $2 < t0 { next }
    /accept4\(/ && !/unfinished/ && $2 < t1 { mark("listener accepted the connection", $2) }
    /sendmsg\(.*welcome/ { mark("admitted: caller checked, welcome sent", $2) }
    /VTHelperStartReq/ { mark("start request received", $2) }
    /openat\(.*darwin-amd64\/openconnect"/ && $2 < t1 { mark("start: caller checked, resolving OpenConnect", $2) }
    /openat\(.*\/verified\/[0-9a-f]+\/openconnect"/ && $2 < t1 { mark("bundle unchanged: its kept verified copies", $2) }
    /openat\(.*org.vantreel.desktop.helper\/openconnect\..*O_CREAT/ { mark("bundle and programs verified; copying", $2) }
    /openat\(.*ca-certificates.crt/ && $2 < t1 { mark("copies made; exporting the system roots", $2) }
    /socket\(AF_NETLINK/ && $2 < t1 && !ocpid { mark("routes: stale host route removal asked", $2) }
    /execve\(.*bin\/ip"/ && $2 < t1 && !ocpid { mark("routes: ip route del run", $2) }
    /execve\(.*openconnect\.[^\/]*\/openconnect"/ && !ocpid { mark("OpenConnect launched", $2); ocpid = $1 }
    /sendmsg\(.*Connected (tun|utun|tap)/ { mark("Connected line sent to the client", $2) }
    /stopWithR/ && $2 >= t1 { mark("stop request received", $2) }
    /pidfd_send_signal\(.*SIGINT/ && $2 >= t1 { mark("stop: caller checked, SIGINT sent", $2) }
    $1 == ocpid && /\+\+\+ exited/ { mark("OpenConnect exited", $2) }
    /sendmsg\(.*stopping/ && $2 >= t1 { mark("stop reply sent", $2) }
    /sendmsg\(.*openconnect exited/ && $2 >= t1 { mark("start reply sent (tunnel ended)", $2) }
    END {
      printf "  %-52s %9s %9s\n", "step (first system call of it)", "at ms", "+ms"
      prev = t0
      for (i = 1; i <= n; i++) {
        l = order[i]
        if (when[l] >= t1 && prev < t1) {
          printf "  %-52s %9.1f\n", "-- connect (launched to line: above) / its input closed", 0
          prev = t1
        }
        base = when[l] >= t1 ? t1 : t0
        printf "  %-52s %9.1f %9.1f\n", l, (when[l] - base) * 1000, (when[l] - prev) * 1000
        prev = when[l]
      }
      printf "  %-52s %9.1f %9.1f\n", "connect exited", (te - t1) * 1000, (te - prev) * 1000
    }' "$trace"
  [ "$rc" -eq 0 ] || { fail "connect ended with status $rc" "$err" && return 1; }
}

if [ "${BREAKDOWN:-1}" != 0 ]; then
  echo
  echo "breakdown of one session through the daemon (CA in the system roots), load average" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
  breakdown
fi
