#!/usr/bin/env bash
# OpenConnect run by hand against ocserv, exactly as the daemon will run it (argument list,
# three-variable environment, password on standard input, SIGINT to stop), together with the
# tunnel library's own promises: what it sets up, and that it leaves nothing behind.
# Root only. Exit status 0 when every check passed; one "ok"/"not ok" line per check.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/tunnel.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "1..0 # skipped: needs root"
  exit 0
fi

. "$here/checks.sh"
quiet() { "$@" >/dev/null 2>&1; }
log_has() { grep -qF -- "$1" "$2"; }
dump_log() { sed 's/^/#   /' "$1" >&2; }

roots=/etc/ssl/certs/ca-certificates.crt
roots_sum=$(sha256sum "$roots" | cut -d' ' -f1)
resolv_sum=$(sha256sum /etc/resolv.conf 2>/dev/null | cut -d' ' -f1 || true)
host_links=$(ip -o link show | wc -l)

scratch=$(mktemp -d /tmp/vt-tunnel-test.XXXXXX)
cleanup() {
  vt_tunnel_down
  rm -rf -- "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# connect_and_stop LABEL [vt_tunnel_openconnect_start options...]: a whole session that must
# succeed: the interface line after the routes, traffic through the tunnel, SIGINT, clean exit.
connect_and_stop() {
  local label=$1
  shift
  local layout=$VT_TUNNEL_DIR/app log=$VT_TUNNEL_DIR/$label.log t rc=0 tun
  [ -d "$layout" ] || vt_tunnel_app_layout "$layout"
  vt_tunnel_openconnect_start "$layout" "$log" "$@"
  if ! t=$(vt_tunnel_wait_line 'Connected (tun|utun|tap)[0-9]+ as ' "$log" 30 "$VT_TUNNEL_OC_PID"); then
    not_ok "$label: OpenConnect prints the interface line"
    dump_log "$log"
    kill -KILL "$VT_TUNNEL_OC_PID" 2>/dev/null || true
    wait "$VT_TUNNEL_OC_PID" 2>/dev/null || true
    return 0
  fi
  ok "$label: OpenConnect prints the interface line"
  tun=$(grep -oEm1 'Connected tun[0-9]+ as ' "$log" | cut -d' ' -f2)
  local env_names sigign
  env_names=$(tr '\0' '\n' <"/proc/$VT_TUNNEL_OC_PID/environ" | cut -d= -f1 | sort | paste -sd' ')
  sigign=$(awk '/^SigIgn:/ { print $2 }' "/proc/$VT_TUNNEL_OC_PID/status")
  check "$label: OpenConnect's environment is exactly DYLD_LIBRARY_PATH LANG PATH ($env_names)" \
    test "$env_names" = "DYLD_LIBRARY_PATH LANG PATH"
  check "$label: OpenConnect ignores no signal ($sigign)" test "$((16#$sigign))" -eq 0
  check "$label: the pool is routed through $tun once the line is out" \
    quiet bash -c "ip -n '$VT_TUNNEL_CLI_NS' route show dev '$tun' | grep -q ."
  check "$label: 'Configured as' comes before the interface line" \
    bash -c "grep -nE 'Configured as|Connected tun' '$log' | head -n1 | grep -q 'Configured as'"
  check "$label: the server's tunnel address answers through the tunnel" \
    quiet vt_tunnel_ping 2
  kill -INT "$VT_TUNNEL_OC_PID"
  wait "$VT_TUNNEL_OC_PID" || rc=$?
  check "$label: SIGINT ends OpenConnect with status 0 (got $rc)" test "$rc" -eq 0
  check "$label: the tun interface is gone after the exit" vt_tunnel_wait_tun absent 5
  check "$label: no route through $tun is left" \
    bash -c "! ip -n '$VT_TUNNEL_CLI_NS' route | grep -q '$tun'"
  sleep 0.2
  check "$label: OpenConnect reports the cancellation" \
    log_has 'User cancelled (SIGINT/SIGTERM); exiting.' "$log"
  if [ -n "${VT_TUNNEL_VERBOSE:-}" ]; then dump_log "$log"; fi
  echo "# $label: launch to interface line $(printf '%.3f' "$(bc <<<"$t - $VT_TUNNEL_OC_T0")") s"
}

# refused LABEL STATUS LINE... -- [vt_tunnel_openconnect_start options...]: a session that must
# end by itself, with STATUS and each LINE in its output, and never bring up an interface.
refused() {
  local label=$1 want=$2
  shift 2
  local lines=()
  while [ "$1" != -- ]; do
    lines+=("$1")
    shift
  done
  shift
  local layout=$VT_TUNNEL_DIR/app log=$VT_TUNNEL_DIR/$label.log rc=0 line
  [ -d "$layout" ] || vt_tunnel_app_layout "$layout"
  vt_tunnel_openconnect_start "$layout" "$log" "$@"
  # Generous: it ends within a tenth of a second on an idle machine.
  if ! vt_tunnel_wait_line 'Failed to complete authentication' "$log" 30 "$VT_TUNNEL_OC_PID" \
    >/dev/null; then
    kill -KILL "$VT_TUNNEL_OC_PID" 2>/dev/null || true
  fi
  wait "$VT_TUNNEL_OC_PID" || rc=$?
  sleep 0.2
  check "$label: OpenConnect exits by itself with status $want (got $rc)" test "$rc" -eq "$want"
  for line in "${lines[@]}"; do
    check "$label: prints '$line'" log_has "$line" "$log"
  done
  check "$label: no tun interface" _vt_tunnel_tun_absent
}

# --- the environment itself, with a self-signed certificate ---------------------------------
vt_tunnel_up self-signed
check "up: both namespaces exist" \
  bash -c "ip netns list | grep -q '^$VT_TUNNEL_SRV_NS' && ip netns list | grep -q '^$VT_TUNNEL_CLI_NS'"
check "up: nothing was added to the host's own links" test "$(ip -o link show | wc -l)" -eq "$host_links"
check "up: the client reaches the server over the veth pair" \
  quiet vt_tunnel_client ping -n -q -c 1 -W 2 "$VT_TUNNEL_SERVER"
served_pin=$(vt_tunnel_client openssl s_client -connect "$VT_TUNNEL_SERVER:443" </dev/null 2>/dev/null |
  openssl x509 -pubkey -noout | openssl pkey -pubin -outform DER | openssl dgst -sha256 -binary |
  base64)
check "up: the exported pin is the served key's" test "pin-sha256:$served_pin" = "$VT_TUNNEL_PIN"

connect_and_stop pin --pin "$VT_TUNNEL_PIN"
# What the daemon is given on Linux: the pin, and the system roots it exports.
connect_and_stop pin-and-roots --pin "$VT_TUNNEL_PIN" --cafile "$roots"
rc=0
vt_tunnel_openconnect_start "$VT_TUNNEL_DIR/app" "$VT_TUNNEL_DIR/refused-start.log" \
  --user $'name\nwith a line feed' 2>/dev/null || rc=$?
nothing_run() { [ "$rc" -eq 1 ] && [ ! -e "$1" ] && _vt_tunnel_tun_absent; }
check "refused start: what the daemon refuses is not run by hand either (status $rc)" \
  nothing_run "$VT_TUNNEL_DIR/refused-start.log"
refused wrong-password 1 'Login failed.' 'Failed to complete authentication' -- \
  --pin "$VT_TUNNEL_PIN" --cafile "$roots" --password "not-$VT_TUNNEL_PASSWORD"
wrong_pin=pin-sha256:$(head -c 32 /dev/urandom | base64)
refused wrong-pin 1 'None of the 1 fingerprint(s) specified via --servercert match' \
  'SSL connection failure: Error in the certificate.' -- --pin "$wrong_pin" --cafile "$roots"
# A SIGKILL leaves the vpnc-script's host route to the server behind: the stale route the daemon
# deletes before the next start, with the command its Linux layout uses.
killed_log=$VT_TUNNEL_DIR/killed.log
vt_tunnel_openconnect_start "$VT_TUNNEL_DIR/app" "$killed_log" --pin "$VT_TUNNEL_PIN"
if vt_tunnel_wait_line 'Connected tun[0-9]+ as ' "$killed_log" 30 "$VT_TUNNEL_OC_PID" >/dev/null; then
  kill -KILL "$VT_TUNNEL_OC_PID"
  { wait "$VT_TUNNEL_OC_PID"; } 2>/dev/null || true
  check "sigkill: the tun interface goes with the process" vt_tunnel_wait_tun absent 5
  check "sigkill: the host route to the server stays" \
    quiet bash -c "ip -n '$VT_TUNNEL_CLI_NS' -4 route show '$VT_TUNNEL_SERVER/32' | grep -q ."
  check "sigkill: 'ip -4 route del <server>/32' removes it with status 0" \
    quiet vt_tunnel_client ip -4 route del "$VT_TUNNEL_SERVER/32"
  check "sigkill: a second deletion finds nothing and fails" \
    quiet bash -c "! ip netns exec '$VT_TUNNEL_CLI_NS' ip -4 route del '$VT_TUNNEL_SERVER/32'"
  connect_and_stop after-sigkill --pin "$VT_TUNNEL_PIN"
else
  not_ok "sigkill: OpenConnect prints the interface line"
  dump_log "$killed_log"
fi
check "self-signed: the host's resolv.conf is untouched" \
  test "$(sha256sum /etc/resolv.conf 2>/dev/null | cut -d' ' -f1 || true)" = "$resolv_sum"

work=$VT_TUNNEL_DIR srv=$VT_TUNNEL_SRV_NS
vt_tunnel_down
vt_tunnel_down
check "down: idempotent, and the namespaces, work directory and /run/vpnc are gone" \
  bash -c "! ip netns list | grep -q '$srv' && [ ! -e '$work' ] && [ ! -e /run/vpnc ]"
# Only this environment's: others may run OpenConnect on this machine meanwhile. Every ocserv
# and OpenConnect it started named a file in its work directory on the command line.
none_started_from() { ! pgrep -f -- "$1/" >/dev/null; }
check "down: no ocserv or openconnect of this environment is left" none_started_from "$work"

# --- a certificate signed by the test CA ------------------------------------------------------
vt_tunnel_up ca
connect_and_stop cafile --cafile "$VT_TUNNEL_CAFILE"
refused system-roots-only 1 'Server certificate verify failed: signer not found' \
  'SSL connection failure: Error in the certificate.' -- --cafile "$roots"
# The daemon exports the system bundle; in a private mount namespace that bundle holds the test
# CA, and the host's does not.
connect_and_stop cafile-trusting --trust-test-ca --cafile "$roots"
check "cafile: the host's root bundle is unchanged" \
  test "$(sha256sum "$roots" | cut -d' ' -f1)" = "$roots_sum"
check "cafile: no bind mount over the bundle is visible on the host" \
  bash -c "! grep -q ca-certificates.crt /proc/self/mountinfo"
# OpenConnect checks a pin only when the chain does not verify, so a trust store beside a pin
# would let a server whose certificate a trusted CA signed pass with any key: a pinned start
# trusts nothing but its pin, whatever roots the daemon exports.
refused wrong-pin-but-trusted-ca 1 'None of the 1 fingerprint(s) specified via --servercert match' \
  -- --pin "$wrong_pin" --cafile "$VT_TUNNEL_CAFILE"
vt_tunnel_down

# --- clean-up after a failed or interrupted start ---------------------------------------------
mkdir -p "$scratch/bin"
printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/ocserv"
printf '#!/bin/sh\nexec sleep 600\n' >"$scratch/bin/ocserv-hangs"
chmod 0755 "$scratch/bin/ocserv" "$scratch/bin/ocserv-hangs"
nothing_left() {
  ! ip netns list 2>/dev/null | grep -q '^vt-' && ! compgen -G '/tmp/vt-tunnel.*' >/dev/null
}
rc=0
PATH=$scratch/bin:$PATH vt_tunnel_up 2>/dev/null || rc=$?
check "partial: a server that dies makes vt_tunnel_up fail (got $rc)" test "$rc" -ne 0
check "partial: and it leaves no namespace or work directory" nothing_left
check "partial: and the caller's view is reset" test -z "${VT_TUNNEL_SRV_NS:-}"
# Called as a condition, where `set -e` does not stop anything: each step must be checked.
mkdir -p "$scratch/no-openssl"
printf '#!/bin/sh\nexit 1\n' >"$scratch/no-openssl/openssl"
chmod 0755 "$scratch/no-openssl/openssl"
if PATH=$scratch/no-openssl:$PATH vt_tunnel_up 2>/dev/null; then
  not_ok "partial: vt_tunnel_up fails when the certificates cannot be made"
  vt_tunnel_down
else
  ok "partial: vt_tunnel_up fails when the certificates cannot be made"
fi
check "partial: and it leaves no namespace or work directory behind" nothing_left

mv "$scratch/bin/ocserv-hangs" "$scratch/bin/ocserv"
PATH=$scratch/bin:$PATH VT_TUNNEL_TIMEOUT=120 bash -c '
  . "$1"
  trap vt_tunnel_down EXIT
  trap "exit 143" TERM
  vt_tunnel_up' sh "$here/../../scripts/lib/tunnel.sh" 2>/dev/null &
child=$!
server_started() {
  ip netns pids "$(ip netns list 2>/dev/null | grep -om1 '^vt-srv-[0-9a-f]*')" 2>/dev/null | grep -q .
}
if _vt_tunnel_poll 30 server_started; then
  kill -TERM "$child"
  wait "$child" || true
  check "interrupted: an EXIT trap removes a half-made environment" nothing_left
  check "interrupted: and ends the server it had started" quiet bash -c '! pgrep -f "^sleep 600$"'
else
  kill -TERM "$child" 2>/dev/null || true
  wait "$child" || true
  not_ok "interrupted: the half-made environment never appeared"
fi

echo "1..$checks"
if [ "$failures" -ne 0 ]; then
  echo "# $failures of $checks checks failed" >&2
  exit 1
fi
