#!/usr/bin/env bash
# The helper as an installed service under a real systemd: a Debian 12 container booted with
# systemd-nspawn on the client side of the tunnel environment (scripts/lib/tunnel.sh), with
# ocserv in the server namespace. The signed bundle is copied in, and everything a user would
# do is done inside it: install, status, the journal, a tunnel, systemctl stop and restart with
# the tunnel up, a second installation, a refused one, and the removal. The server pushes what
# real servers push (a default route, a DNS server, a domain), and every death of the daemon
# with a tunnel up ends with the container's network as before.
#
#   service_test.sh BUNDLE CACHE_DIR     (BUNDLE = .../Vantreel.app; CACHE_DIR keeps the root
#                                         file system between runs)
#
# Root only. One "ok"/"not ok" line per check; exit status 0 when every check passed. A machine
# that lacks what this needs fails it, with the reason: it never passes silently. The EXIT trap
# powers the container off and removes every namespace, mount, process and file it made.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/tunnel.sh"
. "$here/../e2e/checks.sh"

bail() {
  echo "Bail out! $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || bail "the system test needs root (containers, namespaces, ocserv)"
[ "$#" -eq 2 ] && [ -d "$1" ] || bail "usage: $0 BUNDLE CACHE_DIR"
bundle=$(cd "$1" && pwd)
cache=$2
for tool in mmdebstrap systemd-nspawn nsenter ip ocserv ocpasswd openssl setpriv; do
  command -v "$tool" >/dev/null ||
    bail "$tool is missing: install the Debian packages named in scripts/lib/common.sh"
done
[ -c /dev/net/tun ] || bail "/dev/net/tun is missing: the tunnel needs the tun driver"
for program in Contents/MacOS/vantreel-helperctl \
  Contents/Library/LaunchDaemons/org.vantreel.desktop.helper; do
  [ -x "$bundle/$program" ] || bail "$bundle/$program is missing; build vantreel_dev_bundle"
done

unit=org.vantreel.desktop.helperd.service
socket_unit=org.vantreel.desktop.helperd.socket
daemon_path=/usr/local/libexec/org.vantreel.desktop.helper
unit_path=/etc/systemd/system/$unit
copies=/run/org.vantreel.desktop.helper
inner_bundle=/opt/Vantreel.app
inner_ctl=$inner_bundle/Contents/MacOS/vantreel-helperctl
bundled=$("$bundle/Contents/MacOS/vantreel-helperctl" version |
  sed -E 's/.*"version":"([^"]*)".*/\1/')
connect_bound=60
exit_bound=30
trap '' PIPE

has_line() { grep -qF -- "$1" "$2"; }
has_text() { grep -qF -- "$2" <<<"$1"; }
dump() { sed 's/^/#   /' "$1" >&2 || true; }
elapsed_since() { echo "$(((${EPOCHREALTIME/./} - ${1/./}) / 1000)) ms"; }

scratch=$(mktemp -d /tmp/vt-system.XXXXXX)
chmod 0755 "$scratch"
nspawn_pid='' leader='' machine='' rootfs='' started=$EPOCHREALTIME

# A command inside the container, with all of its namespaces and a plain environment.
in_ct() {
  nsenter -t "$leader" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"
}
ctl() { in_ct "$inner_ctl" "$@"; }
quiet() { ("$@") >/dev/null 2>&1; }

# The connect helpers of tunnel.sh start BUNDLE/Contents/MacOS/vantreel-helperctl; this one
# enters the container and execs the copied tool there, so the process is the signed tool.
wrapper=$scratch/wrapper.app
mkdir -p "$wrapper/Contents/MacOS"

cleanup() {
  local rc=$? left=() fd
  trap - EXIT
  set +e
  for fd in "${VT_TUNNEL_CONNECT_FDS[@]}"; do vt_tunnel_connect_close "$fd"; done
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # systemd-nspawn turns SIGTERM into an orderly power-off of the container.
    kill -TERM "$nspawn_pid" 2>/dev/null
    _vt_tunnel_poll 60 _vt_gone "$nspawn_pid" || {
      echo "# the container did not power off within 60 s; killed" >&2
      kill -KILL "$nspawn_pid" 2>/dev/null
    }
    wait "$nspawn_pid" 2>/dev/null
  fi
  [ -z "$nspawn_pid" ] || ! kill -0 "$nspawn_pid" 2>/dev/null || left+=("systemd-nspawn $nspawn_pid")
  [ -z "$leader" ] || ! kill -0 "$leader" 2>/dev/null || left+=("container init $leader")
  local cli=${VT_TUNNEL_CLI_NS:-} srv=${VT_TUNNEL_SRV_NS:-}
  vt_tunnel_down
  for ns in "$cli" "$srv"; do
    [ -z "$ns" ] || [ ! -e "/run/netns/$ns" ] || left+=("namespace $ns")
  done
  if [ -n "$rootfs" ] && grep -qF -- "$rootfs" /proc/self/mountinfo; then
    left+=("mounts of $rootfs")
  fi
  if [ -n "$machine" ] && grep -qF -- "$machine" /proc/self/mountinfo; then
    left+=("mounts of $machine")
  fi
  rm -rf -- "$scratch"
  [ ! -e "$scratch" ] || left+=("directory $scratch")
  if [ "${#left[@]}" -eq 0 ]; then
    ok "clean-up: the container is off; no process, namespace, mount or file is left"
  else
    not_ok "clean-up: left behind: ${left[*]}"
  fi
  echo "# the system test took $(elapsed_since "$started")"
  echo "1..$checks"
  if [ "$failures" -ne 0 ]; then
    echo "# $failures of $checks checks failed" >&2
    exit 1
  fi
  exit "$rc"
}
_vt_gone() { ! kill -0 "$1" 2>/dev/null; }
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the root file system, the network and the boot ------------------------------------------
t0=$EPOCHREALTIME
rootfs=$("$here/rootfs.sh" "$cache") || bail "the container's root file system could not be made"
echo "# root file system $rootfs ready after $(elapsed_since "$t0")"

VT_TUNNEL_FULL=1 vt_tunnel_up self-signed || bail "the tunnel environment (ocserv in a namespace) did not come up"
machine=vt-sys-$VT_TUNNEL_ID
cat >"$wrapper/Contents/MacOS/vantreel-helperctl" <<EOF
#!/bin/sh
exec nsenter -t "\$VT_SYSTEM_LEADER" -a -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  $inner_ctl "\$@"
EOF
chmod 0755 "$wrapper/Contents/MacOS/vantreel-helperctl"
# The same for a user's copy of the bundle in a home only that user may enter.
user_bundle=/home/vtuser/Vantreel.app
user_wrapper=$scratch/user-wrapper.app
mkdir -p "$user_wrapper/Contents/MacOS"
cat >"$user_wrapper/Contents/MacOS/vantreel-helperctl" <<EOF
#!/bin/sh
exec nsenter -t "\$VT_SYSTEM_LEADER" -a -- setpriv --reuid=vtuser --regid=vtuser --init-groups \
  env -i PATH=/usr/bin:/bin HOME=/home/vtuser $user_bundle/Contents/MacOS/vantreel-helperctl "\$@"
EOF
chmod 0755 "$user_wrapper/Contents/MacOS/vantreel-helperctl"

t0=$EPOCHREALTIME
# The container joins the client namespace, which holds the veth end towards ocserv; joining
# an existing namespace drops CAP_NET_ADMIN unless it is asked for, and OpenConnect needs it.
# The overlay keeps every write of the boot in memory, away from the cached tree.
systemd-nspawn --quiet --boot --directory="$rootfs" --volatile=overlay --machine="$machine" \
  --register=no --keep-unit --network-namespace-path="/run/netns/$VT_TUNNEL_CLI_NS" \
  --capability=CAP_NET_ADMIN --bind=/dev/net/tun --console=read-only \
  </dev/null >"$scratch/console.log" 2>&1 &
nspawn_pid=$!

# The container's init: systemd-nspawn's child in a PID namespace of its own, running systemd.
find_leader() {
  local pid
  kill -0 "$nspawn_pid" 2>/dev/null || return 2
  leader=''
  for pid in $(pgrep -P "$nspawn_pid" || true); do
    if [ "$(readlink "/proc/$pid/ns/pid")" != "$(readlink /proc/self/ns/pid)" ] &&
      [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ]; then
      leader=$pid
      return 0
    fi
  done
  return 1
}
boot_state=''
booted() {
  kill -0 "$nspawn_pid" 2>/dev/null || return 2
  find_leader || return 1
  boot_state=$(in_ct systemctl is-system-running 2>&1 || true)
  [ "$boot_state" = running ] || [ "$boot_state" = degraded ]
}
if ! _vt_tunnel_poll 120 booted; then
  dump "$scratch/console.log"
  bail "the container did not boot (systemctl is-system-running: ${boot_state:-no answer})"
fi
export VT_SYSTEM_LEADER=$leader
echo "# container $machine booted (init $leader) after $(elapsed_since "$t0")"
if [ "$(in_ct systemctl is-system-running 2>/dev/null || true)" = degraded ]; then
  echo "# failed units: $(in_ct systemctl --failed --plain --no-legend | paste -sd' ')"
fi

# The copy keeps modes and contents, which is all the seal covers.
cp -a -- "$bundle" "/proc/$leader/root$inner_bundle" || bail "cannot copy the bundle in"
chown -R root:root "/proc/$leader/root$inner_bundle"
cp -a -- "$bundle" "/proc/$leader/root$user_bundle" || bail "cannot copy the bundle in"
chown -R --reference="/proc/$leader/root/home/vtuser" "/proc/$leader/root$user_bundle"
chmod 0700 "/proc/$leader/root/home/vtuser"
check "setup: the bundle's seal holds inside the container" \
  quiet in_ct "$inner_ctl" version

# --- a user without an administrator agent cannot install, and nothing is left --------------
rc=0
reply=$(in_ct setpriv --reuid=vtuser --regid=vtuser --init-groups env HOME=/home/vtuser \
  "$inner_ctl" install 2>"$scratch/user-install.err") || rc=$?
check "unprivileged install: fails with status 1 ($rc)" test "$rc" = 1
check "unprivileged install: says why ($reply)" \
  grep -qiE 'authentication agent|not authorized|polkit|pkexec' <<<"$reply"
nothing_installed() {
  in_ct test ! -e "$unit_path" && in_ct test ! -e "$daemon_path" &&
    [ "$(in_ct systemctl is-active "$unit" 2>/dev/null || true)" != active ]
}
check "unprivileged install: no unit, no daemon file, nothing running" nothing_installed
no_staging() { [ -z "$(in_ct find /tmp /var/tmp -mindepth 1 -maxdepth 2 \( -name 'vt-install-*' -o -name "$unit*" \) 2>/dev/null)" ]; }
check "unprivileged install: nothing staged is left in /tmp" no_staging

# --- install as root ----------------------------------------------------------------------
rc=0
t0=$EPOCHREALTIME
reply=$(ctl install 2>"$scratch/install.err") || rc=$?
echo "# install took $(elapsed_since "$t0")"
check "install: exit status 0 ($rc)" test "$rc" = 0
check "install: state ready ($reply)" has_text "$reply" '"state":"ready"'
check "install: the running daemon's version $bundled" has_text "$reply" "\"version\":\"$bundled\""
check "install: says it ran as root, without a prompt" has_text "$reply" '(as root)'
check "install: the unit is enabled" test "$(in_ct systemctl is-enabled "$unit" 2>&1)" = enabled
check "install: the unit is active" test "$(in_ct systemctl is-active "$unit" 2>&1)" = active
check "install: the socket unit is enabled and listening" eval \
  '[ "$(in_ct systemctl is-enabled "$socket_unit" 2>&1)" = enabled ] &&
   [ "$(in_ct systemctl is-active "$socket_unit" 2>&1)" = active ]'
daemon_facts=$(in_ct stat -c '%U:%G %a' "$daemon_path" 2>&1 || true)
check "install: $daemon_path is root's, mode 755 ($daemon_facts)" test "$daemon_facts" = "root:root 755"
check "install: nothing staged is left in /tmp" no_staging

reply=$(ctl status 2>&1 || true)
check "status: ready with the bundled version ($reply)" \
  eval 'has_text "$reply" "\"state\":\"ready\"" && has_text "$reply" "\"version\":\"$bundled\""'

# The running service as systemd sees it; the socket unit, which runs no program and which the
# running systemd does not rate, from its file.
for analysed in "$unit" "/etc/systemd/system/$socket_unit"; do
  offline=()
  [ "${analysed#/}" = "$analysed" ] || offline=(--offline=true)
  exposure=$(in_ct systemd-analyze security --no-pager "${offline[@]}" "$analysed" 2>/dev/null |
    tail -n 1 || true)
  echo "# systemd-analyze security $analysed: ${exposure:-no figure}"
  figure=$(sed -nE 's/.*exposure level for .*: ([0-9.]+).*/\1/p' <<<"$exposure")
  check "hardening: $analysed's exposure ${figure:-unknown} is 3.0 or lower" \
    eval '[ -n "$figure" ] && [ "$(echo "$figure <= 3.0" | bc)" = 1 ]'
done

# --- the socket unit holds the endpoint while the daemon restarts ---------------------------
# Status calls one after the other, for as long as the file run exists: how many there were and
# how many did not answer "ready".
status_calls() {
  local run=$1 total=0 other=0 reply
  while [ -e "$run" ]; do
    reply=$(ctl status 2>&1 || true)
    total=$((total + 1))
    if ! has_text "$reply" '"state":"ready"'; then
      other=$((other + 1))
      echo "#   not ready: $reply" >&2
    fi
  done
  echo "$total $other"
}
calls_run=$scratch/calls.run
calls_start() {
  : >"$calls_run"
  status_calls "$calls_run" >"$scratch/calls.out" &
  calls_pid=$!
}
# calls_stop LABEL: ends the calls and checks that every one was answered "ready".
calls_stop() {
  local total other
  rm -f "$calls_run"
  wait "$calls_pid" || true
  read -r total other <"$scratch/calls.out" || true
  echo "# $1: ${other:-?} of ${total:-?} status calls did not answer ready"
  check "$1: every status call answered ready (${other:-?} of ${total:-?} did not)" \
    eval '[ "${total:-0}" -gt 0 ] && [ "$other" = 0 ]'
}
unit_failures() { journal | grep -cF 'Failed with result' || true; }
new_main_since() {
  local now
  now=$(in_ct systemctl show -p MainPID --value "$unit")
  [ -n "$now" ] && [ "$now" != 0 ] && [ "$now" != "$1" ] &&
    [ "$(in_ct systemctl is-active "$unit" 2>&1)" = active ]
}
for event in restart main-killed; do
  main=$(in_ct systemctl show -p MainPID --value "$unit")
  calls_start
  sleep 1
  case "$event" in
    restart) in_ct systemctl restart --no-block "$unit" ;;
    main-killed) in_ct kill -KILL "$main" ;;
  esac
  _vt_tunnel_poll 30 new_main_since "$main" || true
  sleep 1
  calls_stop "socket unit, $event"
  check "socket unit, $event: a new daemon runs" new_main_since "$main"
done

# A copy of the tool outside its bundle is refused: an error entry beside the information ones.
in_ct cp "$inner_ctl" /root/copied-ctl
in_ct /root/copied-ctl status >/dev/null 2>&1 || true
journal() { in_ct journalctl --no-pager -u "$unit" -o json --output-fields=MESSAGE,PRIORITY "$@"; }
has_entry() { journal | grep -F -- "$1" | grep -qF "\"PRIORITY\":\"$2\""; }
await_entry() { _vt_tunnel_poll 10 has_entry "$1" "$2"; }
check "journal: 'starting' at priority info (6)" \
  await_entry "]: org.vantreel.desktop.helper $bundled starting\"" 6
check "journal: a refused caller at priority error (3)" await_entry 'rejected connection: ' 3

# --- a tunnel through the installed service -----------------------------------------------
connect_pid='' connect_fd='' connect_out='' connect_err='' connect_rc=''
# start_connect LABEL [WRAPPER]: root's connect, or the one WRAPPER runs.
start_connect() {
  connect_out=$scratch/$1.out connect_err=$scratch/$1.err
  vt_tunnel_connect_start "${2:-$wrapper}" "$connect_out" "$connect_err" \
    --servercert "$VT_TUNNEL_PIN"
  connect_pid=$VT_TUNNEL_CONNECT_PID connect_fd=$VT_TUNNEL_CONNECT_FD
}
close_connect() {
  [ -z "$connect_fd" ] || vt_tunnel_connect_close "$connect_fd"
  connect_fd=''
}
wait_connect_exit() {
  connect_rc=0
  if ! _vt_tunnel_poll "$1" _vt_tunnel_proc_gone "$connect_pid"; then
    connect_rc=timeout
    return 0
  fi
  wait "$connect_pid" 2>/dev/null || connect_rc=$?
  sleep 0.2
}
openconnects() { in_ct pgrep -x openconnect 2>/dev/null | wc -l; }
connected() {
  local label=$1
  if ! vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$connect_out" \
    "$connect_bound" "$connect_pid" >/dev/null; then
    not_ok "$label: connect relays OpenConnect's interface line"
    dump "$connect_out"
    dump "$connect_err"
    in_ct journalctl --no-pager -u "$unit" -n 30 | sed 's/^/#   /' >&2
    return 1
  fi
  ok "$label: connect relays OpenConnect's interface line"
  check "$label: a ping crosses the tunnel" quiet vt_tunnel_ping 3
  check "$label: exactly one OpenConnect runs ($(openconnects))" test "$(openconnects)" = 1
  check "$label: OpenConnect finds its locale" eval '! has_line "Cannot set locale" "$connect_out"'
  local tunnel
  tunnel=$(ctl tunnel 2>&1 || true)
  check "$label: 'tunnel' shows it connected ($tunnel)" has_text "$tunnel" '"state":"connected"'
}
no_copies() { [ -z "$(in_ct find "$copies" -mindepth 1 -maxdepth 1 -name 'openconnect.*' 2>/dev/null)" ]; }
# stopped_by LABEL: what the daemon's own stop leaves, after systemctl took the service down.
stopped_by() {
  local label=$1 since=$2
  wait_connect_exit "$exit_bound"
  close_connect
  check "$label: connect exits with OpenConnect's status 0 ($connect_rc)" test "$connect_rc" = 0
  check "$label: OpenConnect's log-off line reaches connect" \
    has_line 'User cancelled (SIGINT/SIGTERM); exiting.' "$connect_out"
  check "$label: the tun interface is gone" vt_tunnel_wait_tun absent 10
  check "$label: no OpenConnect is left ($(openconnects))" test "$(openconnects)" = 0
  check "$label: no verified copy is left under $copies" no_copies
  check "$label: the daemon logged OpenConnect's end itself" \
    _vt_tunnel_poll 10 more_ends_than "$since"
}
# The daemon's entries for OpenConnect's end so far; the journal takes them in a moment later.
openconnect_ends() { journal | grep -cF 'OpenConnect exited rc=' || true; }
more_ends_than() { [ "$(openconnect_ends)" -gt "$1" ]; }

start_connect first
if connected first; then
  since=$(openconnect_ends)
  t0=$EPOCHREALTIME
  rc=0
  in_ct systemctl stop "$unit" || rc=$?
  echo "# systemctl stop with the tunnel up took $(elapsed_since "$t0")"
  check "stop: systemctl stop succeeds ($rc)" test "$rc" = 0
  stopped_by stop "$since"
  check "stop: the unit is inactive, not failed" \
    test "$(in_ct systemctl is-active "$unit" 2>&1)" = inactive
fi
close_connect

in_ct systemctl start "$unit"
_vt_tunnel_poll 10 eval 'ctl status 2>/dev/null | grep -qF "\"state\":\"ready\""' || true
start_connect second
if connected second; then
  since=$(openconnect_ends)
  t0=$EPOCHREALTIME
  rc=0
  in_ct systemctl restart "$unit" || rc=$?
  echo "# systemctl restart with the tunnel up took $(elapsed_since "$t0")"
  check "restart: systemctl restart succeeds ($rc)" test "$rc" = 0
  stopped_by restart "$since"
  check "restart: the unit is active again" \
    test "$(in_ct systemctl is-active "$unit" 2>&1)" = active
  start_connect after-restart
  if connected after-restart; then
    close_connect
    wait_connect_exit "$exit_bound"
    check "after-restart: closing connect's input ends it with status 0 ($connect_rc)" \
      test "$connect_rc" = 0
  fi
fi
close_connect

# A user's own bundle in a home closed to others: the confined daemon still reads it and
# still identifies its caller.
start_connect user "$user_wrapper"
if connected user; then
  close_connect
  wait_connect_exit "$exit_bound"
  check "user: closing connect's input ends it with status 0 ($connect_rc)" test "$connect_rc" = 0
fi
close_connect

# --- the daemon's death gives the network back ----------------------------------------------
# Its main process killed (a crash), the whole unit killed (what an out-of-memory kill looks
# like), a stop past its time-out: systemd SIGKILLs OpenConnect with it, and the daemon that
# Restart=on-failure (or the next start) runs replays the disconnect OpenConnect never ran
# before it listens.
network_now() {
  in_ct sh -c 'ip -4 route show | sort; echo "-- resolver"; cat /etc/resolv.conf
    echo "-- script state"; ls -A /run/vpnc 2>/dev/null; true'
}
network_before=$(network_now)
restored() { [ "$(network_now)" = "$network_before" ] && [ "$(openconnects)" = 0 ]; }
tunnel_applied() {
  local now
  now=$(network_now)
  grep -q '^default dev tun' <<<"$now" && grep -qF "nameserver $VT_TUNNEL_DNS" <<<"$now"
}
restorations() { journal | grep -cF 'restored the network after tunnel' || true; }
dropin=/run/systemd/system/$unit.d
for death in main-killed unit-killed stop-timed-out; do
  start_connect "$death"
  if connected "$death"; then
    check "$death: the tunnel took over the default route and set the VPN's resolver" \
      tunnel_applied
    main=$(in_ct systemctl show -p MainPID --value "$unit")
    since=$(restorations)
    t0=$EPOCHREALTIME
    case "$death" in
      main-killed) in_ct kill -KILL "$main" ;;
      unit-killed) in_ct systemctl kill --signal=KILL "$unit" ;;
      stop-timed-out)
        # A hung OpenConnect holds the daemon's stop past the time-out (shortened for the test):
        # systemd kills the whole unit, and the network comes back at the next start.
        in_ct sh -c "mkdir -p $dropin && printf '[Service]\nTimeoutStopSec=2\n' >$dropin/t.conf"
        in_ct systemctl daemon-reload
        in_ct pkill -STOP -x openconnect
        in_ct systemctl stop "$unit" || true
        in_ct rm -rf "$dropin"
        in_ct systemctl daemon-reload
        in_ct systemctl start "$unit"
        ;;
    esac
    if _vt_tunnel_poll 30 restored; then
      ok "$death: routes, resolver file and script state as before, no OpenConnect"
      echo "# $death: kill -> network as before took $(elapsed_since "$t0")"
    else
      not_ok "$death: routes, resolver file and script state as before, no OpenConnect"
      diff <(echo "$network_before") <(network_now) | sed 's/^/#   /' >&2 || true
    fi
    check "$death: a new daemon runs (pid $main before)" eval \
      '[ "$(in_ct systemctl is-active "$unit" 2>&1)" = active ] &&
       [ "$(in_ct systemctl show -p MainPID --value "$unit")" != "$main" ]'
    check "$death: it logs what it restored" _vt_tunnel_poll 10 eval '[ "$(restorations)" -gt "$since" ]'
    _vt_tunnel_poll 10 eval 'ctl status 2>/dev/null | grep -qF "\"state\":\"ready\""' || true
    wait_connect_exit "$exit_bound"
  fi
  close_connect
done

# --- a resolver file replaced after the service started ------------------------------------
# What a DHCP client or a network manager does: a new file renamed over /etc/resolv.conf. The
# daemon's view follows it, tunnel or not, without a restart: a connect at once after the rename
# sets the VPN's resolver, and its end gives the new file back.
replace_resolver() {
  in_ct sh -c "printf 'nameserver %s\n' '$1' >/etc/resolv.conf.vt-new &&
    mv -f /etc/resolv.conf.vt-new /etc/resolv.conf"
}
failures_before=$(unit_failures)
main=$(in_ct systemctl show -p MainPID --value "$unit")
# The daemon's own view, from inside its mount namespace.
view_writable() { in_ct nsenter -t "$main" -m test -w /etc/resolv.conf; }
t0=$EPOCHREALTIME
replace_resolver 192.0.2.60
for _ in $(seq 300); do
  ! view_writable || break
  sleep 0.01
done
echo "# rename -> the daemon's view shows the new file, writable: $(elapsed_since "$t0")"
check "rename: the daemon may write the new file, without a restart" view_writable
serial=60
for delay in 0 0.1 1 3; do
  label="rename, connect ${delay} s later"
  serial=$((serial + 1))
  replace_resolver "192.0.2.$serial"
  t0=$EPOCHREALTIME
  [ "$delay" = 0 ] || sleep "$delay"
  network_before=$(network_now)
  start_connect "rename-$delay"
  if connected "$label"; then
    if _vt_tunnel_poll 10 tunnel_applied; then
      ok "$label: the tunnel set the VPN's resolver"
      echo "# $label: rename -> the VPN's resolver in place took $(elapsed_since "$t0")"
    else
      not_ok "$label: the tunnel set the VPN's resolver"
      network_now | sed 's/^/#   /' >&2
    fi
    close_connect
    wait_connect_exit "$exit_bound"
    check "$label: afterwards the new file, the routes and the script state are back" \
      _vt_tunnel_poll 10 eval '[ "$(network_now)" = "$network_before" ]'
  fi
  close_connect
done
check "rename: the same daemon served every connect (pid $main)" \
  test "$(in_ct systemctl show -p MainPID --value "$unit")" = "$main"

# Ten renames within 5 s, without a tunnel and with one: no caller fails meanwhile, the unit
# never fails, and a tunnel's end leaves the newest file as the DHCP client wrote it.
rename_burst() {
  local i
  for i in 0 1 2 3 4 5 6 7 8 9; do
    serial=$((serial + 1))
    replace_resolver "192.0.2.$serial"
    sleep 0.4
  done
}
calls_start
rename_burst
calls_stop "ten renames without a tunnel"
network_before=$(network_now)
start_connect burst-idle
if connected "after ten renames"; then
  check "after ten renames: the tunnel set the VPN's resolver" _vt_tunnel_poll 10 tunnel_applied
  close_connect
  wait_connect_exit "$exit_bound"
  check "after ten renames: afterwards the newest file is back" \
    _vt_tunnel_poll 10 eval '[ "$(network_now)" = "$network_before" ]'
fi
close_connect

start_connect burst-tunnel
if connected "renames during a tunnel"; then
  calls_start
  rename_burst
  calls_stop "ten renames during a tunnel"
  newest="nameserver 192.0.2.$serial"
  check "renames during a tunnel: the tunnel is still up" quiet vt_tunnel_ping 3
  close_connect
  wait_connect_exit "$exit_bound"
  check "renames during a tunnel: its end leaves the DHCP client's newest file ($newest)" \
    _vt_tunnel_poll 10 eval '[ "$(in_ct cat /etc/resolv.conf)" = "$newest" ]'
fi
close_connect
check "renames: the unit never failed ($(unit_failures) failures logged, $failures_before before)" \
  eval '[ "$(unit_failures)" = "$failures_before" ] &&
        [ "$(in_ct systemctl is-failed "$unit" 2>&1)" != failed ]'

# A resolver file that is missing when the service starts, and appears afterwards.
in_ct systemctl stop "$unit"
in_ct rm -f /etc/resolv.conf
in_ct systemctl start "$unit"
serial=$((serial + 1))
replace_resolver "192.0.2.$serial"
network_before=$(network_now)
start_connect missing-at-start
if connected "missing at start"; then
  check "missing at start: the tunnel set the VPN's resolver" _vt_tunnel_poll 10 tunnel_applied
  close_connect
  wait_connect_exit "$exit_bound"
  check "missing at start: afterwards the new file is back" \
    _vt_tunnel_poll 10 eval '[ "$(network_now)" = "$network_before" ]'
fi
close_connect

# --- systemd-resolved -----------------------------------------------------------------------
# With systemd-resolved answering for /etc/resolv.conf, through its stub in /run or its static
# file in /usr, the VPN's server and domain are set for the tunnel's link and go with it; the
# file the link names is never written.
in_ct systemctl unmask --quiet systemd-resolved.service
in_ct systemctl start systemd-resolved.service
tun_name() { in_ct ip -o link show type tun | sed -E 's/^[0-9]+: ([^:@]+).*/\1/' | head -n 1; }
for target in ../run/systemd/resolve/stub-resolv.conf /usr/lib/systemd/resolv.conf; do
  label="resolved ${target##*/}"
  in_ct ln -sfn "$target" /etc/resolv.conf
  # A unit's view of the file is made when it starts.
  in_ct systemctl restart "$unit"
  _vt_tunnel_poll 10 eval 'ctl status 2>/dev/null | grep -qF "\"state\":\"ready\""' || true
  network_before=$(network_now)
  named=$(in_ct readlink -f /etc/resolv.conf)
  target_sum=$(in_ct sha256sum "$named")
  start_connect "resolved-${target##*/}"
  if connected "$label"; then
    tun=$(tun_name)
    check "$label: the VPN's server is set for $tun" \
      has_text "$(in_ct resolvectl dns "$tun" 2>&1)" "$VT_TUNNEL_DNS"
    check "$label: and its domain" \
      has_text "$(in_ct resolvectl domain "$tun" 2>&1)" "$VT_TUNNEL_DOMAIN"
    check "$label: /etc/resolv.conf is still the link to $target" \
      test "$(in_ct readlink /etc/resolv.conf)" = "$target"
    close_connect
    wait_connect_exit "$exit_bound"
    check "$label: after the tunnel, routes, resolver and script state are as before" \
      _vt_tunnel_poll 10 eval '[ "$(network_now)" = "$network_before" ]'
    check "$label: no link has the VPN's server any more" \
      eval '! in_ct resolvectl dns 2>&1 | grep -qF "$VT_TUNNEL_DNS"'
    check "$label: the file the link names ($named) was never written" \
      eval '[ "$(in_ct sha256sum "$named")" = "$target_sum" ]'
  fi
  close_connect
done

# --- a second installation over the running one ------------------------------------------
before=$(in_ct systemctl show -p MainPID --value "$unit")
rc=0
reply=$(ctl install --replace 2>>"$scratch/install.err") || rc=$?
after=$(in_ct systemctl show -p MainPID --value "$unit")
check "install --replace: exit status 0 ($rc), state ready ($reply)" \
  eval '[ "$rc" = 0 ] && has_text "$reply" "\"state\":\"ready\""'
check "install --replace: a new daemon runs (pid $before, then $after)" \
  eval '[ -n "$after" ] && [ "$after" != 0 ] && [ "$after" != "$before" ]'
check "install --replace: nothing staged is left in /tmp" no_staging

# --- removal -----------------------------------------------------------------------------
rc=0
reply=$(ctl uninstall 2>&1) || rc=$?
check "uninstall: exit status 0 ($rc), state not_installed ($reply)" \
  eval '[ "$rc" = 0 ] && has_text "$reply" "\"state\":\"not_installed\""'
check "uninstall: no unit file and no daemon file" \
  eval 'in_ct test ! -e "$unit_path" && in_ct test ! -e "$daemon_path"'
check "uninstall: nothing enabled" \
  eval '[ "$(in_ct systemctl is-enabled "$unit" 2>/dev/null || true)" != enabled ]'
check "uninstall: nothing running" \
  eval '[ "$(in_ct systemctl is-active "$unit" 2>/dev/null || true)" != active ] &&
        ! in_ct pgrep -f "$daemon_path" >/dev/null'
reply=$(ctl status 2>/dev/null || true)
check "uninstall: status then says not_installed ($reply)" \
  has_text "$reply" '"state":"not_installed"'
