#!/usr/bin/env bash
# The whole road of a connect: the signed control tool asks the real daemon, run from the signed
# development bundle in the client namespace, to start the bundle's OpenConnect against ocserv;
# the tunnel carries traffic and goes down again in every way a caller can end it, and when the
# daemon itself is stopped (SIGTERM) or killed and started again.
#
#   daemon_tunnel_test.sh BUNDLE        (BUNDLE = .../Vantreel.app)
#
# Root only. One "ok"/"not ok" line per check; exit status 0 when every check passed, 77 when
# skipped. Everything the test starts is ended by its EXIT trap, which then checks that nothing
# is left.
#
# The daemon's state and OpenConnect's pid come from the control tool's "tunnel" command; the
# relayed lines, interfaces and routes show what the tunnel did.
#
# The whole test runs in a private mount namespace of its own: the routing script rewrites
# /etc/resolv.conf and keeps its state under /run/vpnc, and the daemon keeps its own under /run
# and /var/lib; here those are the test's, and nothing of the host's is touched.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/tunnel.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "1..0 # skipped: needs root"
  exit 77
fi
if [ "${VT_E2E_PRIVATE_MOUNTS:-}" != 1 ]; then
  export VT_E2E_PRIVATE_MOUNTS=1
  exec unshare --mount --propagation private -- "$BASH" "$0" "$@"
fi
resolver=$(mktemp /tmp/vt-e2e-resolv.XXXXXX)
printf 'nameserver 192.0.2.53\nsearch vt-home.example\n' >"$resolver"
chmod 0644 "$resolver"
mount --bind "$resolver" /etc/resolv.conf
rm -f -- "$resolver"
mount -t tmpfs -o mode=0755 vt-run /run
mount -t tmpfs -o mode=0755 vt-var-lib /var/lib
if [ "$#" -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 BUNDLE (the signed Vantreel.app)" >&2
  exit 2
fi
bundle=$(cd "$1" && pwd)
ctl=$bundle/Contents/MacOS/vantreel-helperctl
daemon=$bundle/Contents/Library/LaunchDaemons/org.vantreel.desktop.helper
for program in "$ctl" "$daemon"; do
  if [ ! -x "$program" ]; then
    echo "Bail out! $program is missing; build the vantreel_dev_bundle target" >&2
    exit 1
  fi
done

# Generous bounds: every wait ends as soon as its condition holds.
connect_bound=60
exit_bound=30

# A write to a connect that has already gone must fail, not end this script.
trap '' PIPE

. "$here/checks.sh"
# A subshell, not a function-wide redirection: a trap that fires meanwhile must still report
# on this script's own output.
quiet() { ("$@") >/dev/null 2>&1; }
has_line() { grep -qF -- "$1" "$2"; }
has_text() { grep -qF -- "$2" <<<"$1"; }
lacks_text() { ! grep -qF -- "$2" <<<"$1"; }
dump() { sed 's/^/#   /' "$1" >&2 || true; }

# "<state> <start time>" of a process.
proc_facts() { sed -E 's/^.*\) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1,20; }
gone() { ! vt_tunnel_proc_alive "$1"; }
wait_gone() { _vt_tunnel_poll "$2" gone "$1"; }

# Processes are remembered with their start time, so that a recycled pid is never signalled.
tracked=()
track() {
  local facts
  facts=$(proc_facts "$1") || return 0
  [ -z "$facts" ] || tracked+=("$1:${facts#* }")
}
still_ours() {
  local pid=${1%%:*} start=${1#*:} facts
  facts=$(proc_facts "$pid") && [ -n "$facts" ] && [ "${facts%% *}" != Z ] &&
    [ "${facts#* }" = "$start" ]
}

scratch=$(mktemp -d /tmp/vt-e2e.XXXXXX)
chmod 0755 "$scratch"
# The socket path must fit sun_path, hence a short directory of the test's own.
export VANTREEL_SERVICE_DIR=$scratch/svc
mkdir -m 0755 "$VANTREEL_SERVICE_DIR"
socket=$VANTREEL_SERVICE_DIR/org.vantreel.desktop.helperd
roots=/etc/ssl/certs/ca-certificates.crt
roots_sum=$(sha256sum "$roots" | cut -d' ' -f1)

daemon_pid='' daemon_log=''
made_namespaces=()
connect_pid='' connect_fd='' connect_out='' connect_err='' connect_rc=''
oc='' oc_cmdline='' tun='' tun_address=''

environment_up() {
  vt_tunnel_up "$1"
  made_namespaces+=("$VT_TUNNEL_SRV_NS" "$VT_TUNNEL_CLI_NS")
  track "$VT_TUNNEL_OCSERV_PID"
}

# start_daemon [--trust-test-ca]: the bundle's daemon in the client namespace on the test's
# service directory, ready.
start_daemon() {
  daemon_log=$scratch/daemon-$VT_TUNNEL_ID.log
  local rc=0
  vt_tunnel_daemon_start "$bundle" "$daemon_log" "$@" || rc=$?
  daemon_pid=${VT_TUNNEL_DAEMON_PID:-}
  track "$daemon_pid"
  return "$rc"
}

stop_daemon() {
  vt_tunnel_daemon_stop
  daemon_pid=''
}

# tunnel_field NAME: one field of the daemon's tunnel as the "tunnel" command reports it.
tunnel_field() {
  "$ctl" tunnel 2>/dev/null | sed -nE "s/.*\"$1\":(\"([^\"]*)\"|([0-9]+|true|false)).*/\2\3/p"
}
# The daemon's OpenConnect, as the daemon reports it.
openconnect_child() {
  local pid
  pid=$(tunnel_field pid)
  [ -z "$pid" ] || [ "$pid" = 0 ] || echo "$pid"
}

# start_connect LABEL [--pin PIN] [--no-pin] [--password PW]: connect, by default with the
# server's pin, its standard input open until close_connect.
start_connect() {
  local label=$1
  shift
  local pin=$VT_TUNNEL_PIN extra=()
  while [ "$#" -gt 0 ]; do
    case "$1" in
      --pin) pin=$2 && shift 2 ;;
      --no-pin) pin='' && shift ;;
      --password) extra+=(--password "$2") && shift 2 ;;
      *) echo "start_connect: unknown option $1" >&2 && return 2 ;;
    esac
  done
  [ -z "$pin" ] || extra+=(--servercert "$pin")
  connect_out=$scratch/$label.out
  connect_err=$scratch/$label.err
  vt_tunnel_connect_start "$bundle" "$connect_out" "$connect_err" "${extra[@]}"
  connect_pid=$VT_TUNNEL_CONNECT_PID
  connect_fd=$VT_TUNNEL_CONNECT_FD
  track "$connect_pid"
}

close_connect() {
  [ -z "$connect_fd" ] || vt_tunnel_connect_close "$connect_fd"
  connect_fd=''
}

# wait_connect_exit SECONDS: sets connect_rc to the connect's exit status, or "timeout".
wait_connect_exit() {
  connect_rc=0
  if ! wait_gone "$connect_pid" "$1"; then
    connect_rc=timeout
    return 0
  fi
  wait "$connect_pid" 2>/dev/null || connect_rc=$?
  # The last relayed lines may still be in the time-stamping reader.
  sleep 0.2
}

# wait_connected LABEL: waits for the interface line; sets tun, tun_address and oc.
wait_connected() {
  local label=$1 line
  tun='' tun_address='' oc=''
  if ! line=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$connect_out" \
    "$connect_bound" "$connect_pid"); then
    not_ok "$label: OpenConnect's interface line is relayed on connect's output"
    dump "$connect_out"
    dump "$connect_err"
    dump "$daemon_log"
    return 1
  fi
  ok "$label: OpenConnect's interface line is relayed on connect's output"
  line=$(grep -Em1 'Connected (tun|utun|tap)[0-9]+ as ' "$connect_out")
  tun=$(sed -E 's/.*Connected ([a-z]+[0-9]+) as .*/\1/' <<<"$line")
  tun_address=$(sed -E 's/.* as ([0-9.]+).*/\1/' <<<"$line")
  oc=$(openconnect_child)
  [ -z "$oc" ] || track "$oc"
  return 0
}

# The daemon answers, with no tunnel.
daemon_idle() {
  local reply rc=0
  reply=$("$ctl" tunnel 2>/dev/null) || rc=$?
  [ "$rc" -eq 0 ] && has_text "$reply" '"state":"idle"' && has_text "$reply" '"ok":true' &&
    has_text "$reply" '"pid":"0"'
}

has_tun() { vt_tunnel_tun_names | grep -qx -- "$1"; }
tun_absent() { vt_tunnel_wait_tun absent "$1"; }
interface_has_address() {
  ip -n "$VT_TUNNEL_CLI_NS" -4 -o addr show dev "$1" | grep -qF -- " $2/"
}
outside_bundle() { [ -n "$1" ] && [ "${1#"$bundle"/}" = "$1" ]; }
configured_first() {
  grep -nE 'Configured as|Connected tun' "$1" | head -n 1 | grep -qF 'Configured as'
}
pin_only() { has_text "$1" --no-system-trust && lacks_text "$1" --cafile; }
roots_only() { [ -n "$1" ] && lacks_text "$2" --servercert; }
stopping_reply() {
  has_text "$1" '"state":"stopping"' && has_text "$1" '"ok":true' &&
    has_text "$1" '"detail":"stopping"'
}
# pem_holds FILE CERT: FILE holds the certificate of the PEM file CERT, whatever its wrapping.
pem_holds() {
  local body
  body=$(grep -v -- '-----' "$2" | tr -d '\n')
  [ -n "$body" ] && tr -d '\n' <"$1" | grep -qF -- "$body"
}
logs_refusals() {
  has_line "could not resolve the caller's app bundle" "$1" &&
    has_line 'caller failed the code-signing requirement' "$1"
}
password_unseen() { ! grep -rqF -D skip -- "$VT_TUNNEL_PASSWORD" "$scratch"; }

# check_child LABEL: the running OpenConnect is the daemon's verified copy, started as the
# daemon promises; sets oc_cmdline.
check_child() {
  local label=$1 env_names sigign exe
  if [ -z "$oc" ]; then
    not_ok "$label: OpenConnect runs as the daemon's child"
    oc_cmdline=''
    return 0
  fi
  ok "$label: OpenConnect runs as the daemon's child (pid $oc)"
  exe=$(readlink "/proc/$oc/exe" || true)
  check "$label: it runs a copy of the daemon's own, not the caller's bundle ($exe)" \
    outside_bundle "$exe"
  env_names=$(tr '\0' '\n' <"/proc/$oc/environ" | cut -d= -f1 | sort | paste -sd' ')
  check "$label: its environment is exactly DYLD_LIBRARY_PATH LANG PATH ($env_names)" \
    test "$env_names" = "DYLD_LIBRARY_PATH LANG PATH"
  sigign=$(awk '/^SigIgn:/ { print $2 }' "/proc/$oc/status")
  # Only the standard signals: glibc's posix_spawn leaves its own two internal real-time
  # signals (32 and 33) ignored in the child, which no program can use through glibc anyway.
  # SIGPIPE (bit 13) stays ignored on purpose: should the daemon die, OpenConnect must still
  # be able to log off with nobody reading its output.
  check "$label: of the standard signals it ignores SIGPIPE alone" \
    test "$((16#$sigign & 16#7fffffff))" -eq "$((1 << 12))"
  oc_cmdline=$(tr '\0' ' ' <"/proc/$oc/cmdline")
  check "$label: the password is not on its command line" \
    lacks_text "$oc_cmdline" "$VT_TUNNEL_PASSWORD"
}

# tunnel_is_up LABEL: what a connected tunnel looks like from the client namespace.
tunnel_is_up() {
  local label=$1
  check "$label: the tun interface $tun exists in the client namespace" has_tun "$tun"
  check "$label: it carries the announced address $tun_address" \
    interface_has_address "$tun" "$tun_address"
  check "$label: the server's tunnel address answers a ping through the tunnel" \
    quiet vt_tunnel_ping 3
  check "$label: 'Configured as' is relayed before the interface line" \
    configured_first "$connect_out"
}

# closed_ends LABEL [--line]: closing connect's standard input, or with --line writing one
# more line to it, takes the tunnel down.
closed_ends() {
  local label=$1 was=$oc how="closing standard input"
  if [ "${2:-}" = --line ]; then
    how="a second line on standard input"
    (trap '' PIPE && printf 'stop\n' >&"$connect_fd") 2>/dev/null || true
  else
    close_connect
  fi
  wait_connect_exit "$exit_bound"
  close_connect
  check "$label: $how ends connect with OpenConnect's status 0 ($connect_rc)" \
    test "$connect_rc" = 0
  check "$label: the tun interface is gone" tun_absent 10
  check "$label: OpenConnect has exited" wait_gone "$was" 10
  check "$label: its cancellation line is relayed" \
    has_line 'User cancelled (SIGINT/SIGTERM); exiting.' "$connect_out"
  check "$label: nothing is written to connect's standard error" test ! -s "$connect_err"
  check "$label: the daemon is idle again" daemon_idle
}

# ends_by_itself LABEL STATUS LINE...: a connect that OpenConnect ends on its own.
ends_by_itself() {
  local label=$1 want=$2 line
  shift 2
  wait_connect_exit "$connect_bound"
  check "$label: connect exits with OpenConnect's status $want ($connect_rc)" \
    test "$connect_rc" = "$want"
  for line in "$@"; do
    check "$label: OpenConnect's line '$line' is relayed" has_line "$line" "$connect_out"
  done
  check "$label: the daemon's reply text goes to standard error" \
    has_line 'openconnect exited' "$connect_err"
  check "$label: no tun interface came up" _vt_tunnel_tun_absent
  close_connect
  if [ "$connect_rc" = timeout ]; then
    # It came up after all: take it down, so that the checks after this one start idle.
    wait_connect_exit "$exit_bound"
  fi
  check "$label: the daemon is idle again" daemon_idle
  if [ "$connect_rc" != "$want" ]; then
    dump "$connect_out"
    dump "$connect_err"
  fi
}

cleanup() {
  local rc=$? entry ns left=()
  trap - EXIT
  set +e
  close_connect
  for entry in "${VT_TUNNEL_CONNECT_FDS[@]}"; do vt_tunnel_connect_close "$entry"; done
  stop_daemon
  vt_tunnel_down
  # The final check: the orderly clean-up above left nothing this test started, whatever
  # happened before it. What it missed is killed here, and still reported.
  for entry in "${tracked[@]}"; do
    if still_ours "$entry"; then
      left+=("pid ${entry%%:*} ($(tr '\0' ' ' <"/proc/${entry%%:*}/cmdline" 2>/dev/null))")
      kill -KILL "${entry%%:*}" 2>/dev/null
    fi
  done
  for ns in "${made_namespaces[@]}"; do
    [ ! -e "/run/netns/$ns" ] || left+=("namespace $ns")
  done
  rm -rf -- "$scratch"
  [ ! -e "$scratch" ] || left+=("directory $scratch")
  if [ "${#left[@]}" -eq 0 ]; then
    ok "clean-up: no daemon, control tool, OpenConnect, ocserv, namespace or file is left"
  else
    not_ok "clean-up: left behind: ${left[*]}"
  fi
  echo "1..$checks"
  if [ "$failures" -ne 0 ]; then
    echo "# $failures of $checks checks failed" >&2
    exit 1
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- a self-signed server, trusted by its pin ------------------------------------------------
environment_up self-signed
if ! start_daemon; then
  not_ok "daemon: answers on $socket"
  dump "$daemon_log"
  exit 1
fi
ok "daemon: answers on $socket, and status reports it ready"
check "daemon: runs in the client namespace" \
  test "$(ip netns identify "$daemon_pid" 2>/dev/null)" = "$VT_TUNNEL_CLI_NS"
check "daemon: no tunnel at first (disconnect: idle, ok false, no tunnel is running)" daemon_idle

# Only the signed tool inside its bundle may drive the daemon: a faithful copy outside the
# bundle has no app bundle to run OpenConnect from, and a changed copy fails its signature.
cp "$ctl" "$scratch/copied-ctl"
cp "$ctl" "$scratch/changed-ctl"
printf '\0' >>"$scratch/changed-ctl"
for caller in copied changed; do
  rc=0
  reply=$(printf '%s\n' "$VT_TUNNEL_PASSWORD" | "$scratch/$caller-ctl" connect \
    --server "$VT_TUNNEL_SERVER" --user "$VT_TUNNEL_USER" --servercert "$VT_TUNNEL_PIN" \
    2>"$scratch/$caller.err") || rc=$?
  check "refused caller: a $caller control tool's connect fails with status 1 ($rc)" test "$rc" = 1
  check "refused caller: it reports the daemon unavailable" \
    has_text "$reply" '"state":"unavailable"'
  check "refused caller: no OpenConnect was started for it" test -z "$(openconnect_child)"
done
check "refused caller: the daemon logs why it refused each" logs_refusals "$daemon_log"
check "refused caller: the daemon still serves the signed tool" daemon_idle

start_connect pin
if wait_connected pin; then
  check_child pin
  tunnel_is_up pin
  check "pin: OpenConnect is given the pin" has_text "$oc_cmdline" "--servercert $VT_TUNNEL_PIN"
  check "pin: and trusts no CA beside it (--no-system-trust, no --cafile)" pin_only "$oc_cmdline"
  closed_ends pin
  check "pin: the daemon logs OpenConnect's exit status" \
    has_line 'OpenConnect exited rc=0' "$daemon_log"
fi
close_connect

start_connect wrong-password --password "wrong-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
ends_by_itself wrong-password 1 'Login failed.' 'Failed to complete authentication'

wrong_pin=pin-sha256:$(head -c 32 /dev/urandom | base64)
start_connect wrong-pin --pin "$wrong_pin"
ends_by_itself wrong-pin 1 'None of the 1 fingerprint(s) specified via --servercert match' \
  'SSL connection failure: Error in the certificate.'

# A second control tool stops the tunnel that the first one started; a start meanwhile is
# refused and leaves the tunnel alone.
start_connect stopped-by-other
if wait_connected stopped-by-other; then
  first=("$connect_pid" "$connect_fd" "$connect_out" "$connect_err")
  start_connect second-start
  wait_connect_exit "$exit_bound"
  check "second start: refused while a tunnel runs, status 1 ($connect_rc)" test "$connect_rc" = 1
  check "second start: 'a tunnel is already running' on standard error" \
    has_line 'a tunnel is already running' "$connect_err"
  close_connect
  connect_pid=${first[0]} connect_fd=${first[1]} connect_out=${first[2]} connect_err=${first[3]}
  check "second start: the first tunnel still carries traffic" quiet vt_tunnel_ping 2
  # As scripts call it, input ending right after the password: the refused connect's own stop
  # must not reach the other caller's tunnel.
  rc=0
  printf '%s\n' "$VT_TUNNEL_PASSWORD" | "$ctl" connect --server "$VT_TUNNEL_SERVER" \
    --user "$VT_TUNNEL_USER" --servercert "$VT_TUNNEL_PIN" >/dev/null 2>"$scratch/piped.err" ||
    rc=$?
  check "piped second start: refused, status 1 ($rc)" test "$rc" = 1
  sleep 0.5
  check "piped second start: the first tunnel still runs (pid $oc)" \
    test -n "$oc" -a "$(openconnect_child)" = "$oc"
  check "piped second start: and still carries traffic" quiet vt_tunnel_ping 2
  rc=0
  reply=$("$ctl" disconnect 2>/dev/null) || rc=$?
  check "disconnect: status 0 ($rc)" test "$rc" = 0
  check "disconnect: state stopping, ok true, detail stopping ($reply)" stopping_reply "$reply"
  check "disconnect: the reply carries the daemon's version" \
    has_text "$reply" "\"version\":\"$("$ctl" version | sed -E 's/.*"version":"([^"]*)".*/\1/')\""
  check "disconnect: OpenConnect has exited when the reply comes" gone "$oc"
  wait_connect_exit "$exit_bound"
  check "disconnect: the first connect then exits with OpenConnect's status 0 ($connect_rc)" \
    test "$connect_rc" = 0
  check "disconnect: the tun interface is gone" tun_absent 10
  close_connect
  check "disconnect: the daemon is idle again" daemon_idle
fi
close_connect

# A connect killed outright: its connection ends, and the daemon stops the tunnel it owned.
start_connect killed
if wait_connected killed; then
  kill -KILL "$connect_pid"
  wait "$connect_pid" 2>/dev/null || true
  check "sigkill: the daemon stops OpenConnect once its owner is gone" wait_gone "$oc" "$exit_bound"
  check "sigkill: the tun interface is gone" tun_absent 10
  check "sigkill: the daemon is idle again" daemon_idle
  close_connect
  # After the refusals and the kill above, the daemon still brings a tunnel up.
  start_connect after-kill
  if wait_connected after-kill; then
    check "after-kill: traffic flows again" quiet vt_tunnel_ping 2
    closed_ends after-kill --line
  fi
fi
close_connect

# --- the daemon's own end -----------------------------------------------------------------
client_routes() { ip -n "$VT_TUNNEL_CLI_NS" -4 route show | sort; }
copies_of() { dirname "$(readlink "/proc/$1/exe" 2>/dev/null)"; }
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
routes_before=$(client_routes)

# SIGTERM, as a service manager stops or restarts it: the tunnel is stopped as a caller's stop
# does it, OpenConnect logs off and its script restores the network, then the daemon exits 0.
start_connect sigterm
if wait_connected sigterm; then
  copies=$(copies_of "$oc")
  check "sigterm: OpenConnect runs from a copy directory ($copies)" test -d "$copies"
  t0=$(now)
  kill -TERM "$daemon_pid"
  rc=0
  if wait_gone "$daemon_pid" 20; then
    t1=$(now)
    wait "$daemon_pid" 2>/dev/null || rc=$?
    echo "# sigterm: SIGTERM -> daemon exit took $(elapsed "$t0" "$t1") s"
  else
    rc=timeout
  fi
  check "sigterm: the daemon exits with status 0 ($rc)" test "$rc" = 0
  daemon_pid=''
  unset VT_TUNNEL_DAEMON_PID
  wait_connect_exit "$exit_bound"
  check "sigterm: connect ends with the start's reply, OpenConnect's status 0 ($connect_rc)" \
    test "$connect_rc" = 0
  check "sigterm: OpenConnect's log-off line is relayed to connect" \
    has_line 'User cancelled (SIGINT/SIGTERM); exiting.' "$connect_out"
  check "sigterm: the tun interface is gone" tun_absent 10
  check "sigterm: the client namespace's routes are as before the connect" \
    test "$(client_routes)" = "$routes_before"
  check "sigterm: no OpenConnect is left" gone "$oc"
  check "sigterm: its copy directory is removed" test ! -e "$copies"
  check "sigterm: the daemon logs the signal" has_line 'received SIGTERM' "$daemon_log"
fi
close_connect
[ -z "$daemon_pid" ] || stop_daemon

# SIGKILL: nothing runs in the daemon, so the next one stops the orphan before it listens.
if start_daemon; then
  start_connect sigkill-daemon
  if wait_connected sigkill-daemon; then
    orphan=$oc
    copies=$(copies_of "$orphan")
    kill -KILL "$daemon_pid"
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=''
    unset VT_TUNNEL_DAEMON_PID
    check "restart: OpenConnect outlives the killed daemon (pid ${orphan:-none})" \
      vt_tunnel_proc_alive "$orphan"
    wait_connect_exit "$exit_bound"
    close_connect
    t0=$(now)
    if start_daemon; then
      if [ -n "$orphan" ] && wait_gone "$orphan" 10; then
        t1=$(now)
        echo "# restart: new daemon started -> orphan gone took $(elapsed "$t0" "$t1") s"
        ok "restart: the new daemon stops the orphan within 10 s"
      else
        not_ok "restart: the new daemon stops the orphan within 10 s"
      fi
      check "restart: the orphan's copy directory is removed" test ! -e "$copies"
      check "restart: the new daemon logs what it found" \
        has_line "recovery: stopped OpenConnect pid $orphan left running by an earlier instance" \
        "$daemon_log"
      check "restart: the orphan logged off: tun interface gone" tun_absent 10
      check "restart: and its script restored the client namespace's routes" \
        test "$(client_routes)" = "$routes_before"
      check "restart: the daemon reports idle" daemon_idle
      start_connect after-restart
      if wait_connected after-restart; then
        check "after-restart: exactly one OpenConnect runs in the client namespace" \
          test "$(ip netns pids "$VT_TUNNEL_CLI_NS" | xargs -r ps -o comm= -p | grep -cx openconnect)" = 1
        check "after-restart: it is the daemon's tunnel (${oc:-none})" \
          test -n "$oc" -a "$(pgrep -x openconnect -P "$daemon_pid")" = "$oc"
        check "after-restart: traffic flows" quiet vt_tunnel_ping 2
        closed_ends after-restart
      fi
      close_connect
    else
      not_ok "restart: a new daemon answers"
      dump "$daemon_log"
    fi
  fi
  close_connect
else
  not_ok "sigkill: the daemon answers again after its SIGTERM"
fi

check "self-signed: the password appears in no output and no log" password_unseen
stop_daemon
vt_tunnel_down

# --- every end of a tunnel gives the network back ---------------------------------------------
# A server that pushes what real servers push: a default route, a DNS server and a domain. The
# script replaces the client namespace's default route and the resolver file while the tunnel is
# up; however the tunnel ends, within 10 s routes, resolver file and the script's state are as
# before, and no OpenConnect is left.
network_now() {
  ip -n "$VT_TUNNEL_CLI_NS" -4 route show | sort
  echo "-- IPv6 routes"
  ip -n "$VT_TUNNEL_CLI_NS" -6 route show | sort
  echo "-- resolver"
  cat /etc/resolv.conf
  echo "-- script state"
  ls -A /run/vpnc 2>/dev/null || true
}
network_as_before() { [ "$(network_now)" = "$network_before" ]; }
no_openconnect() { ! ip netns pids "$VT_TUNNEL_CLI_NS" | xargs -r ps -o comm= -p | grep -qx openconnect; }
restored_in_time() { network_as_before && no_openconnect; }
tunnel_applied() {
  local now
  now=$(network_now)
  grep -q "^default dev $tun" <<<"$now" && grep -qF '#@VPNC_GENERATED@' <<<"$now" &&
    grep -qF "nameserver $VT_TUNNEL_DNS" <<<"$now" && grep -qF "$VT_TUNNEL_DOMAIN" <<<"$now"
}

# end_tunnel END: ends the running tunnel one way; sets end_t0 to when the end began.
end_tunnel() {
  end_t0=$(now)
  case "$1" in
    disconnect) "$ctl" disconnect >/dev/null 2>&1 || true ;;
    openconnect-sigkill) kill -KILL "$oc" ;;
    openconnect-sigstop)
      kill -STOP "$oc"
      "$ctl" disconnect >/dev/null 2>&1 || true
      ;;
    daemon-sigkill | unit-sigkill)
      kill -KILL "$daemon_pid"
      [ "$1" = daemon-sigkill ] || kill -KILL "$oc"
      wait "$daemon_pid" 2>/dev/null || true
      daemon_pid=''
      unset VT_TUNNEL_DAEMON_PID
      start_daemon || not_ok "$1: a new daemon answers"
      ;;
  esac
}

# IPv6 on the physical link too (the server gives none through the tunnel): an address, a
# default route, and a far address behind the link's other end that counts the echo requests
# reaching it.
ipv6_far=2001:db8:2::1
ipv6_link_up() {
  ip -n "$VT_TUNNEL_SRV_NS" -6 addr add 2001:db8:1::1/64 dev "vts$VT_TUNNEL_ID" nodad &&
    ip -n "$VT_TUNNEL_SRV_NS" -6 addr add "$ipv6_far/128" dev lo &&
    ip -n "$VT_TUNNEL_CLI_NS" -6 addr add 2001:db8:1::2/64 dev "vtc$VT_TUNNEL_ID" nodad &&
    ip -n "$VT_TUNNEL_CLI_NS" -6 route add default via 2001:db8:1::1 metric 2048
}
echoes_received() {
  ip netns exec "$VT_TUNNEL_SRV_NS" awk '$1 == "Icmp6InEchos" { print $2 }' /proc/net/snmp6
}
# echoes_through_the_link: how many of five IPv6 echo requests reached the far end.
echoes_through_the_link() {
  local before
  before=$(echoes_received)
  ip netns exec "$VT_TUNNEL_CLI_NS" ping -6 -n -q -c 5 -i 0.2 -W 1 "$ipv6_far" >/dev/null 2>&1 || true
  echo $(($(echoes_received) - before))
}

network_before=''
VT_TUNNEL_FULL=1 environment_up self-signed
check "full tunnel: IPv6 on the physical link is set up" ipv6_link_up
check "full tunnel: without a tunnel, IPv6 echo requests reach the far end by the link" \
  test "$(echoes_through_the_link)" = 5
if start_daemon; then
  network_before=$(network_now)
  check "full tunnel: the client namespace has a default route of its own" \
    grep -q '^default via' <<<"$network_before"
  for end in disconnect openconnect-sigkill openconnect-sigstop daemon-sigkill unit-sigkill; do
    start_connect "end-$end"
    wait_connected "end-$end" || continue
    check "$end: the tunnel took over the default route and set the VPN's resolver" \
      tunnel_applied
    if [ "$end" = disconnect ]; then
      leaked=$(echoes_through_the_link)
      check "$end: no IPv6 echo request leaves by the physical link ($leaked of 5 did)" \
        test "$leaked" = 0
    fi
    end_tunnel "$end"
    if _vt_tunnel_poll 10 restored_in_time; then
      ok "$end: within 10 s routes, resolver file and script state are as before, no OpenConnect"
      echo "# $end: end -> network as before took $(elapsed "$end_t0" "$(now)") s"
    else
      not_ok "$end: within 10 s routes, resolver file and script state are as before, no OpenConnect"
      diff <(echo "$network_before") <(network_now) | sed 's/^/#   /' >&2 || true
    fi
    case "$end" in
      openconnect-*)
        check "$end: the daemon logs what it restored" \
          has_line 'restored the network after tunnel' "$daemon_log"
        ;;
      unit-sigkill)
        check "$end: the new daemon logs what it restored" \
          has_line 'restored the network after tunnel' "$daemon_log"
        ;;
    esac
    wait_connect_exit "$exit_bound"
    close_connect
    [ -z "$oc" ] || kill -CONT "$oc" 2>/dev/null || true
  done
  check "full tunnel: the daemon is idle" daemon_idle
else
  not_ok "full tunnel: the daemon answers"
fi
stop_daemon
vt_tunnel_down

# --- a server of many routes: a tunnel's end is really its end --------------------------------
# 2000 split routes, each a command of the distribution's script: the disconnect's script
# outlasts the stop's grace. The daemon answers the end only once no process of the tunnel is
# left, so the next tunnel is not torn down by the first one's scripts: it stays up 30 s, and its
# caller sees none of the first one's lines.
many_routes=2000
# What runs in the client namespace for a tunnel: OpenConnect, its scripts and their commands.
tunnel_processes() {
  ip netns pids "$VT_TUNNEL_CLI_NS" | xargs -r ps -o args= -p 2>/dev/null |
    grep -E '(^|/)(openconnect|ip|resolvectl)( |$)|vpnc-script' || true
}
nothing_of_the_tunnel() { [ -z "$(tunnel_processes)" ]; }
pushed_routes() { ip -n "$VT_TUNNEL_CLI_NS" -4 route show | grep -c '^10\.220\.' || true; }
routes_in_place() { [ "$(pushed_routes)" -ge "$many_routes" ]; }
still_up() {
  has_tun "$tun" && [ "$(tunnel_field state)" = connected ] &&
    routes_in_place && grep -qF '#@VPNC_GENERATED@' /etc/resolv.conf
}
VT_TUNNEL_FULL=1 VT_TUNNEL_ROUTES=$many_routes environment_up self-signed
saved_connect_bound=$connect_bound
connect_bound=300
if start_daemon; then
  start_connect many-first
  if wait_connected many-first && _vt_tunnel_poll 120 routes_in_place; then
    ok "many routes: the server's $many_routes routes are in place"
    t0=$(now)
    "$ctl" disconnect >/dev/null 2>&1 || true
    t1=$(now)
    echo "# many routes: disconnect -> end answered took $(elapsed "$t0" "$t1") s"
    left=$(tunnel_processes)
    check "many routes: when the end is answered nothing of the tunnel runs" test -z "$left"
    [ -z "$left" ] || sed 's/^/#   left: /' <<<"$left" | head -5 >&2
    wait_connect_exit "$exit_bound"
    close_connect
    start_connect many-second
    if wait_connected many-second && _vt_tunnel_poll 120 still_up; then
      held=0
      while [ "$held" -lt 30 ] && still_up; do
        sleep 1
        held=$((held + 1))
      done
      echo "# many routes: the next tunnel stayed up $held s of the 30 watched"
      check "many routes: the next tunnel stays up and keeps its routes and resolver for 30 s" \
        test "$held" -ge 30
      check "many routes: traffic flows through it" quiet vt_tunnel_ping 2
      check "many routes: its caller sees none of the first tunnel's lines" \
        test "$(grep -cE 'Connected (tun|utun|tap)[0-9]+ as |SIGINT|SIGTERM|BYE' "$connect_out")" = 1
      "$ctl" disconnect >/dev/null 2>&1 || true
      check "many routes: the second end leaves nothing of its tunnel" nothing_of_the_tunnel
      wait_connect_exit "$exit_bound"
    else
      not_ok "many routes: the next tunnel comes up"
      dump "$daemon_log"
    fi
    close_connect
  else
    not_ok "many routes: the server's $many_routes routes are in place"
    dump "$daemon_log"
  fi
  close_connect
else
  not_ok "many routes: the daemon answers"
fi
connect_bound=$saved_connect_bound
stop_daemon
vt_tunnel_down

# --- a server signed by the test CA, which the daemon's system roots hold --------------------
environment_up ca
if ! start_daemon --trust-test-ca; then
  not_ok "ca: the daemon answers on $socket"
  dump "$daemon_log"
  exit 1
fi
ok "ca: the daemon answers, in a mount namespace whose system roots hold the test CA"

start_connect ca --no-pin
if wait_connected ca; then
  check_child ca
  tunnel_is_up ca
  cafile=$(sed -nE 's/.*--cafile ([^ ]+).*/\1/p' <<<"$oc_cmdline")
  check "ca: OpenConnect is given the daemon's exported roots (${cafile:-no --cafile}) and no pin" \
    roots_only "$cafile" "$oc_cmdline"
  check "ca: the exported roots hold the test CA" \
    pem_holds "/proc/$daemon_pid/root$cafile" "$VT_TUNNEL_CAFILE"
  closed_ends ca
fi
close_connect

# A pin that does not match must refuse even a server whose chain the system roots vouch for.
start_connect ca-wrong-pin --pin "$wrong_pin"
ends_by_itself ca-wrong-pin 1 'None of the 1 fingerprint(s) specified via --servercert match'
check "ca: the host's root bundle is unchanged" \
  test "$(sha256sum "$roots" | cut -d' ' -f1)" = "$roots_sum"
check "ca: the password appears in no output and no log" password_unseen
stop_daemon
vt_tunnel_down

# --- signing in as the user: a one-time code, a group, any user name ----------------------------
# The control tool runs OpenConnect --authenticate itself, in the client namespace where the
# server is, answering from its standard input; the daemon gets only the session's cookie.
# sign_in_start LABEL ANSWERS ARGS...: `connect --sign-in`, ANSWERS written on its standard
# input, which then stays open until close_connect.
sign_in_start() {
  local label=$1 answers=$2 fifo line
  shift 2
  connect_out=$scratch/$label.out
  connect_err=$scratch/$label.err
  fifo=$scratch/$label.stdin
  mkfifo -m 0600 -- "$fifo"
  : >"$connect_out"
  vt_tunnel_client_prefix
  sign_in_t0=$EPOCHREALTIME
  _vt_tunnel_exec_without_fifos "${VT_TUNNEL_CLIENT_CMD[@]}" "$ctl" connect --sign-in \
    --server "$VT_TUNNEL_SERVER" "$@" <"$fifo" 2>"$connect_err" > >(
    _vt_tunnel_close_fifos
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >>"$connect_out"
  ) &
  connect_pid=$!
  exec {connect_fd}>"$fifo"
  VT_TUNNEL_CONNECT_FDS+=("$connect_fd")
  rm -f -- "$fifo"
  track "$connect_pid"
  (trap '' PIPE && printf '%s' "$answers" >&"$connect_fd") 2>/dev/null || true
}
# The password in no process's arguments, nor in root's OpenConnect's environment (this test
# exports it to its own children).
secret_nowhere() {
  ! grep -qsF -- "$VT_TUNNEL_PASSWORD" /proc/[0-9]*/cmdline "/proc/$oc/environ"
}
# occtl's JSON mangles letters beyond ASCII; the server knows no other account than CORP\jürgen,
# so a session under a name beginning so is that name, taken as given.
name_seen() { grep -qF '"Username":  "CORP\\j' <<<"$1"; }
occtl_users() {
  ip netns exec "$VT_TUNNEL_SRV_NS" occtl -s "$VT_TUNNEL_DIR/occtl.sock" -j show users 2>/dev/null
}
sign_in_fails() {
  local label=$1 why=$2
  wait_connect_exit "$connect_bound"
  close_connect
  check "$label: connect --sign-in exits non-zero ($connect_rc)" \
    test "$connect_rc" != 0 -a "$connect_rc" != timeout
  check "$label: standard error says why in one line" \
    test "$(cat "$connect_err")" = "$why"
  check "$label: no tun interface came up" _vt_tunnel_tun_absent
  check "$label: the daemon is idle" daemon_idle
  [ "$(cat "$connect_err")" = "$why" ] || dump "$connect_err"
}

VT_TUNNEL_OTP=1 VT_TUNNEL_GROUPS="engineering sales" VT_TUNNEL_USER_NAME='CORP\jürgen' \
  environment_up self-signed
if ! start_daemon; then
  not_ok "sign-in: the daemon answers on $socket"
  exit 1
fi
vt_tunnel_totp
sign_in_start sign-in "$VT_TUNNEL_PASSWORD"$'\n'"$VT_TUNNEL_OTP_CODE"$'\n' \
  --user "$VT_TUNNEL_USER" --authgroup sales --servercert "$VT_TUNNEL_PIN"
if wait_connected sign-in; then
  connected_t=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$connect_out")
  echo "# sign-in: --sign-in to the interface line in $(echo "$connected_t - $sign_in_t0" | bc) s"
  oc_cmdline=$(tr '\0' ' ' <"/proc/$oc/cmdline" 2>/dev/null || true)
  check "sign-in: root's OpenConnect reads a cookie from its standard input" \
    has_text "$oc_cmdline" "--cookie-on-stdin --non-inter"
  check "sign-in: and is pinned to the certificate the sign-in accepted" \
    has_text "$oc_cmdline" "--servercert $VT_TUNNEL_PIN --no-system-trust"
  check "sign-in: its arguments hold no user" lacks_text "$oc_cmdline" "jürgen"
  check "sign-in: its arguments hold no password" lacks_text "$oc_cmdline" "$VT_TUNNEL_PASSWORD"
  check "sign-in: its arguments hold no cookie" lacks_text "$oc_cmdline" "webvpn="
  check "sign-in: the password is in no process's arguments, nor root's OpenConnect's environment" \
    secret_nowhere
  users=$(occtl_users)
  check "sign-in: the server has the session of CORP\\jürgen in the group chosen" \
    has_text "$users" '"Groupname":  "sales"'
  check "sign-in: the user name reached the server as given" name_seen "$users"
  name_seen "$users" || dump <(printf '%s\n' "$users")
  tunnel_is_up sign-in
  check "sign-in: the password appears in no output and no log" password_unseen
  closed_ends sign-in
fi
close_connect

# A wrong code: the server is asked once, the tool says why, nothing is started.
sign_in_start sign-in-wrong-code "$VT_TUNNEL_PASSWORD"$'\n'"000000"$'\n' \
  --user "$VT_TUNNEL_USER" --authgroup engineering --servercert "$VT_TUNNEL_PIN"
sign_in_fails sign-in-wrong-code "sign-in failed: the server did not accept the credentials"
# Input that ends before the server stops asking.
sign_in_start sign-in-short "$VT_TUNNEL_PASSWORD"$'\n' \
  --user "$VT_TUNNEL_USER" --authgroup engineering --servercert "$VT_TUNNEL_PIN"
close_connect
sign_in_fails sign-in-short \
  "sign-in failed: standard input ended before the server stopped asking"
# An unknown certificate without a terminal is refused, its pin shown.
sign_in_start sign-in-unknown-cert "" --user "$VT_TUNNEL_USER" --authgroup engineering
sign_in_fails sign-in-unknown-cert \
  "sign-in failed: the server's certificate is not trusted (to trust it: --servercert $VT_TUNNEL_PIN)"

# Killing root's OpenConnect of a cookie start still gives the network back.
sign_in_routes() { ip -n "$VT_TUNNEL_CLI_NS" -4 route show | sort; }
routes_back() { [ "$(sign_in_routes)" = "$sign_in_routes_before" ]; }
sign_in_routes_before=$(sign_in_routes)
vt_tunnel_totp
sign_in_start sign-in-kill "$VT_TUNNEL_PASSWORD"$'\n'"$VT_TUNNEL_OTP_CODE"$'\n' \
  --user "$VT_TUNNEL_USER" --authgroup engineering --servercert "$VT_TUNNEL_PIN"
if wait_connected sign-in-kill && [ -n "$oc" ]; then
  kill -KILL "$oc"
  wait_connect_exit "$exit_bound"
  check "sign-in-kill: killing OpenConnect ends connect ($connect_rc)" \
    test "$connect_rc" != 0 -a "$connect_rc" != timeout
  check "sign-in-kill: the tun interface is gone" tun_absent 10
  check "sign-in-kill: the routes are as before" _vt_tunnel_poll 10 routes_back
  check "sign-in-kill: the daemon is idle again" daemon_idle
fi
close_connect

# A session the server ends cannot be resumed with its cookie: the tool says a new sign-in is
# needed instead of a bare "openconnect exited".
vt_tunnel_totp
sign_in_start sign-in-ended "$VT_TUNNEL_PASSWORD"$'\n'"$VT_TUNNEL_OTP_CODE"$'\n' \
  --user "$VT_TUNNEL_USER" --authgroup engineering --servercert "$VT_TUNNEL_PIN"
if wait_connected sign-in-ended; then
  ip netns exec "$VT_TUNNEL_SRV_NS" occtl -s "$VT_TUNNEL_DIR/occtl.sock" \
    disconnect user "$VT_TUNNEL_USER" >/dev/null 2>&1 || true
  wait_connect_exit "$exit_bound"
  check "sign-in-ended: connect ends with OpenConnect's failure ($connect_rc)" \
    test "$connect_rc" != 0 -a "$connect_rc" != timeout
  check "sign-in-ended: standard error says the session ended and to sign in again" \
    test "$(cat "$connect_err")" = "the server ended the session: sign in again (--sign-in)"
  check "sign-in-ended: the daemon is idle again" daemon_idle
fi
close_connect

# On a terminal (script(1) gives the tool one): OpenConnect asks the user itself; the unknown
# certificate is shown with its pin and trusted on "yes", the password and code are typed
# without echo, and Enter disconnects.
tty_count() { grep -c -- "$1" "$tty_out" 2>/dev/null || true; }
tty_asks() { [ "$(tty_count "$1")" -ge "$2" ]; }
# type_after TEXT N LINE: once TEXT has appeared N times, types LINE (echo is off by then).
type_after() {
  _vt_tunnel_poll "$connect_bound" tty_asks "$1" "$2" || return 1
  sleep 0.3
  printf '%s\n' "$3" >&"$connect_fd"
}
tty_out=$scratch/terminal.out
mkfifo -m 0600 -- "$scratch/terminal.stdin"
vt_tunnel_client_prefix
_vt_tunnel_exec_without_fifos "${VT_TUNNEL_CLIENT_CMD[@]}" script -qfec \
  "$(printf '%q ' "$ctl" connect --sign-in --server "$VT_TUNNEL_SERVER" --user "$VT_TUNNEL_USER" \
    --authgroup engineering)" "$tty_out" <"$scratch/terminal.stdin" >/dev/null 2>&1 &
connect_pid=$!
exec {connect_fd}>"$scratch/terminal.stdin"
VT_TUNNEL_CONNECT_FDS+=("$connect_fd")
track "$connect_pid"
# The server takes codes at most three windows ahead, and three are used: wait for the next.
until vt_tunnel_totp 2>/dev/null; do sleep 1; done
if type_after "Enter 'yes' to accept" 1 yes && type_after 'Password:' 1 "$VT_TUNNEL_PASSWORD" &&
  type_after 'Password:' 2 "$VT_TUNNEL_OTP_CODE"; then
  ok "sign-in-terminal: the certificate's question and both password prompts are shown"
else
  not_ok "sign-in-terminal: the certificate's question and both password prompts are shown"
  dump "$tty_out"
fi
check "sign-in-terminal: the pin is shown with the certificate" has_line "$VT_TUNNEL_PIN" "$tty_out"
check "sign-in-terminal: the tunnel comes up after 'yes'" \
  _vt_tunnel_poll "$connect_bound" tty_asks 'Connected tun[0-9]* as ' 1
printf '\n' >&"$connect_fd"
wait_connect_exit "$exit_bound"
close_connect
check "sign-in-terminal: Enter disconnects, status 0 ($connect_rc)" test "$connect_rc" = 0
check "sign-in-terminal: the typed password is not echoed" password_unseen
check "sign-in-terminal: the daemon is idle again" daemon_idle
check "sign-in: the password appears in no output and no log" password_unseen
stop_daemon
vt_tunnel_down
