# A real tunnel to test against, its client side: OpenConnect run by hand as the daemon runs it,
# the bundle's daemon and its control tool's connect, all in the client namespace that
# tunnel_server.sh makes. Sourced through tunnel.sh; bash, root only.
#
#   vt_tunnel_app_layout DIR          OpenConnect and the bundle's vpnc-script laid out as the
#                                     daemon runs them (DIR/openconnect, DIR/vpnc-script)
#   vt_tunnel_invocation DIR REQUEST...
#                                     the program, arguments and environment the daemon's code
#                                     gives for a start (see the function)
#   vt_tunnel_openconnect_start ...   OpenConnect run by hand exactly as the daemon runs it
#   vt_tunnel_wait_line REGEX LOG [SECONDS] [PID]
#                                     wait for a line of vt_tunnel_openconnect_start's log
#   vt_tunnel_daemon_start BUNDLE LOG [--trust-test-ca|--host]
#                                     the bundle's daemon in the client namespace (or on the
#                                     host), on $VANTREEL_SERVICE_DIR; waits until it is ready
#   vt_tunnel_daemon_stop             ends it, and an OpenConnect it leaves behind
#   vt_tunnel_connect_start BUNDLE OUT ERR [--servercert PIN] [--password PW] [--server ADDR]
#                                     [--user NAME]
#                                     the bundle's control tool's connect, its standard input
#                                     held open; OUT is time-stamped like the OpenConnect log
#   vt_tunnel_connect_close [FD]      closes that standard input: the tunnel goes down
#
# Tunable: VT_TUNNEL_INVOCATION, the openconnect_invocation program of a build (default the
# default preset's, build/default/tests/harness/openconnect_invocation).
# shellcheck shell=bash

VT_TUNNEL_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Lays out OpenConnect as the daemon runs it: the verified copies of the bundle's program and
# vpnc-script, side by side in one directory.
vt_tunnel_app_layout() {
  local root=$1
  mkdir -p "$root" || return 1
  cp /usr/sbin/openconnect "$root/openconnect" || return 1
  cp "$VT_TUNNEL_REPO_DIR/tools/bundle/vpnc-script" "$root/vpnc-script" || return 1
  chmod 0755 "$root/openconnect" "$root/vpnc-script"
}

_vt_tunnel_invocation_program() {
  local built=$VT_TUNNEL_REPO_DIR/build/default/tests/harness
  local program=${VT_TUNNEL_INVOCATION:-$built/openconnect_invocation}
  if [ ! -x "$program" ]; then
    _vt_tunnel_err "no program at $program: build the default preset, or set VT_TUNNEL_INVOCATION"
    return 1
  fi
  printf '%s' "$program"
}

# vt_tunnel_invocation DIR --server ADDR --user NAME [--servercert PIN] [--cafile FILE]
# vt_tunnel_invocation DIR --connect-url URL --servercert PIN [--resolve HOST:ADDR] [--cafile FILE]
# Asks the daemon's code how it runs OpenConnect from DIR (see vt_tunnel_app_layout) for this
# password or cookie start, FILE being the trust store it would export: sets VT_TUNNEL_OC_PROGRAM,
# and the arrays VT_TUNNEL_OC_ARGS (without the program) and VT_TUNNEL_OC_ENV (NAME=VALUE words).
# Status 1, with the daemon's reason on standard error, for a start the daemon would refuse.
vt_tunnel_invocation() {
  local program out fields=() field rc=0 programs=0
  program=$(_vt_tunnel_invocation_program) || return 1
  # A file rather than a pipe: the status matters, and only mapfile keeps the NUL-ended fields.
  out=$(mktemp /tmp/vt-invocation.XXXXXX) || return 1
  "$program" "$@" >"$out" || rc=$?
  mapfile -d '' -t fields <"$out"
  rm -f -- "$out"
  [ "$rc" -eq 0 ] || return "$rc"
  VT_TUNNEL_OC_PROGRAM='' VT_TUNNEL_OC_ARGS=() VT_TUNNEL_OC_ENV=()
  for field in "${fields[@]}"; do
    case "$field" in
      env=?*=*) VT_TUNNEL_OC_ENV+=("${field#env=}") ;;
      program=?*) VT_TUNNEL_OC_PROGRAM=${field#program=} programs=$((programs + 1)) ;;
      arg=*) VT_TUNNEL_OC_ARGS+=("${field#arg=}") ;;
      *)
        _vt_tunnel_err "vt_tunnel_invocation: $program printed an unknown field"
        return 1
        ;;
    esac
  done
  # env would take a program path holding "=" for one more variable.
  if [ "$programs" -ne 1 ] || [[ "$VT_TUNNEL_OC_PROGRAM" == *=* ]]; then
    _vt_tunnel_err "vt_tunnel_invocation: $program did not name one usable program"
    return 1
  fi
}

# vt_tunnel_openconnect_start LAYOUT LOG [--pin PIN] [--cafile FILE] [--trust-test-ca]
#                             [--password PW] [--user NAME] [--server ADDR]
# Starts OpenConnect from LAYOUT (see vt_tunnel_app_layout) in the client namespace exactly as
# the daemon does for a password start (vt_tunnel_invocation, FILE standing for the roots the
# daemon exports): that program, argument list and environment only, default signal
# dispositions, and the password plus a line feed on standard input, then end of file. Every
# output line (standard output and error alike) goes to LOG as "<EPOCHREALTIME> <line>". Sets
# VT_TUNNEL_OC_PID and VT_TUNNEL_OC_T0 (launch time). Status 1 for a start the daemon refuses.
vt_tunnel_openconnect_start() {
  local layout=$1 log=$2
  shift 2
  local pin='' cafile='' trust=0 password=${VT_TUNNEL_PASSWORD:-}
  local user=${VT_TUNNEL_USER:-} server=${VT_TUNNEL_SERVER:-}
  while [ "$#" -gt 0 ]; do
    case "$1" in
      --pin) pin=$2 && shift 2 ;;
      --cafile) cafile=$2 && shift 2 ;;
      --password) password=$2 && shift 2 ;;
      --user) user=$2 && shift 2 ;;
      --server) server=$2 && shift 2 ;;
      --trust-test-ca) trust=1 && shift ;;
      *)
        _vt_tunnel_err "vt_tunnel_openconnect_start: unknown option $1"
        return 2
        ;;
    esac
  done
  local request=(--server "$server" --user "$user")
  [ -z "$pin" ] || request+=(--servercert "$pin")
  [ -z "$cafile" ] || request+=(--cafile "$cafile")
  vt_tunnel_invocation "$layout" "${request[@]}" || return 1
  # One simple command, so that $! is OpenConnect itself: ip, unshare, sh and env each exec the
  # next. A shell function here would leave $! naming a subshell that ignores SIGINT.
  local opt=()
  [ "$trust" = 0 ] || opt=(--trust-test-ca)
  vt_tunnel_client_prefix "${opt[@]}"
  local cmd=("${VT_TUNNEL_CLIENT_CMD[@]}" env -i --default-signal "${VT_TUNNEL_OC_ENV[@]}"
    "$VT_TUNNEL_OC_PROGRAM" "${VT_TUNNEL_OC_ARGS[@]}")
  : >"$log"
  export VT_TUNNEL_OC_T0=$EPOCHREALTIME VT_TUNNEL_OC_PID
  "${cmd[@]}" <<<"$password" \
    > >(while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >>"$log") \
    2>&1 &
  VT_TUNNEL_OC_PID=$!
}

# Status 2 once PID (if given) has exited without the line: it can no longer come.
_vt_tunnel_log_has() {
  grep -Eq -- "^[0-9.]+ .*$1" "$2" && return 0
  [ -z "${3:-}" ] || _vt_tunnel_alive "$3" || return 2
  return 1
}

# vt_tunnel_wait_line REGEX LOG [SECONDS] [PID]: waits until LOG has a line matching REGEX and
# prints the time it was read at; gives up early, with status 2, when PID exits first.
vt_tunnel_wait_line() {
  local regex=$1 log=$2 seconds=${3:-${VT_TUNNEL_TIMEOUT:-15}} pid=${4:-} rc=0
  _vt_tunnel_poll "$seconds" _vt_tunnel_log_has "$regex" "$log" "$pid" || rc=$?
  if [ "$rc" -eq 2 ]; then
    # The last lines may still be on their way through the time-stamping reader.
    sleep 0.2
    _vt_tunnel_log_has "$regex" "$log" || return 2
  elif [ "$rc" -ne 0 ]; then
    return "$rc"
  fi
  grep -Em1 -- "^[0-9.]+ .*$regex" "$log" | cut -d' ' -f1
}


# Write ends of connect fifos held by this shell. Every program started here goes without them,
# so that closing ours is the end of that connect's input.
VT_TUNNEL_CONNECT_FDS=()

_vt_tunnel_close_fifos() {
  local fd
  for fd in "${VT_TUNNEL_CONNECT_FDS[@]}"; do
    exec {fd}>&-
  done
}

_vt_tunnel_exec_without_fifos() {
  _vt_tunnel_close_fifos
  exec "$@"
}

_vt_tunnel_daemon_ready() {
  vt_tunnel_proc_alive "$VT_TUNNEL_DAEMON_PID" || return 2
  [ -S "$2" ] && "$1" status 2>/dev/null | grep -qF '"state":"ready"'
}

# vt_tunnel_daemon_start BUNDLE LOG [--trust-test-ca|--host]: starts the daemon of the signed
# BUNDLE (.../Vantreel.app) with its log (standard error) in LOG: in the client namespace, or
# with --host where it was called. Sets VT_TUNNEL_DAEMON_PID (the daemon itself) and waits until
# the bundle's control tool reports it ready; status 1 when it does not become ready.
vt_tunnel_daemon_start() {
  local bundle=$1 log=$2
  shift 2
  local daemon=$bundle/Contents/Library/LaunchDaemons/org.vantreel.desktop.helper
  local ctl=$bundle/Contents/MacOS/vantreel-helperctl
  local socket=${VANTREEL_SERVICE_DIR:-/var/run}/org.vantreel.desktop.helperd
  local timeout=${VT_TUNNEL_TIMEOUT:-15}
  if [ "${1:-}" = --host ]; then
    VT_TUNNEL_CLIENT_CMD=()
  else
    vt_tunnel_client_prefix "$@"
  fi
  _vt_tunnel_exec_without_fifos "${VT_TUNNEL_CLIENT_CMD[@]}" "$daemon" </dev/null >"$log" 2>&1 &
  export VT_TUNNEL_DAEMON_PID=$!
  if ! _vt_tunnel_poll "$((timeout * 4))" _vt_tunnel_daemon_ready "$ctl" "$socket"; then
    _vt_tunnel_err "the daemon did not become ready on $socket; its log:"
    tail -n 20 "$log" >&2 || true
    return 1
  fi
}

vt_tunnel_daemon_stop() {
  local pid=${VT_TUNNEL_DAEMON_PID:-} children child
  [ -n "$pid" ] || return 0
  children=$(pgrep -P "$pid" 2>/dev/null || true)
  if vt_tunnel_proc_alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    _vt_tunnel_poll 10 _vt_tunnel_proc_gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  # A daemon that ends under its tunnel leaves OpenConnect running.
  for child in $children; do
    kill -INT "$child" 2>/dev/null || true
    _vt_tunnel_poll 10 _vt_tunnel_proc_gone "$child" || kill -KILL "$child" 2>/dev/null || true
  done
  unset VT_TUNNEL_DAEMON_PID
}

# vt_tunnel_connect_start BUNDLE OUT ERR [--servercert PIN] [--password PW] [--server ADDR]
#                         [--user NAME]
# Runs the bundle's `vantreel-helperctl connect` in the background (where it is called: the
# service socket is a plain file) for the tunnel environment's server and user unless given,
# writes the password line (default VT_TUNNEL_PASSWORD) on its standard input and keeps that
# open. Its standard output goes to OUT as "<EPOCHREALTIME> <line>", its standard error to ERR.
# Sets VT_TUNNEL_CONNECT_PID, VT_TUNNEL_CONNECT_FD (the input's write end, see
# vt_tunnel_connect_close) and VT_TUNNEL_CONNECT_T0 (launch time).
vt_tunnel_connect_start() {
  local bundle=$1 out=$2 err=$3
  shift 3
  local pin='' password=${VT_TUNNEL_PASSWORD:-} server=${VT_TUNNEL_SERVER:-}
  local user=${VT_TUNNEL_USER:-}
  while [ "$#" -gt 0 ]; do
    case "$1" in
      --servercert) pin=$2 && shift 2 ;;
      --password) password=$2 && shift 2 ;;
      --server) server=$2 && shift 2 ;;
      --user) user=$2 && shift 2 ;;
      *)
        _vt_tunnel_err "vt_tunnel_connect_start: unknown option $1"
        return 2
        ;;
    esac
  done
  local args=(connect --server "$server" --user "$user")
  [ -z "$pin" ] || args+=(--servercert "$pin")
  local fifo=$out.stdin
  rm -f -- "$fifo"
  mkfifo -m 0600 -- "$fifo" || return 1
  : >"$out"
  export VT_TUNNEL_CONNECT_T0=$EPOCHREALTIME VT_TUNNEL_CONNECT_PID VT_TUNNEL_CONNECT_FD
  _vt_tunnel_exec_without_fifos "$bundle/Contents/MacOS/vantreel-helperctl" "${args[@]}" \
    <"$fifo" 2>"$err" \
    > >(
      _vt_tunnel_close_fifos
      while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >>"$out"
    ) &
  VT_TUNNEL_CONNECT_PID=$!
  # Blocks until the tool has the fifo open for reading, which it has before it runs.
  exec {VT_TUNNEL_CONNECT_FD}>"$fifo"
  VT_TUNNEL_CONNECT_FDS+=("$VT_TUNNEL_CONNECT_FD")
  rm -f -- "$fifo"
  # A tool that has already ended must not take this shell down with SIGPIPE.
  (trap '' PIPE && printf '%s\n' "$password" >&"$VT_TUNNEL_CONNECT_FD") 2>/dev/null || true
}

# vt_tunnel_connect_close [FD]: ends the input of a connect (default the last one started).
vt_tunnel_connect_close() {
  local fd=${1:-${VT_TUNNEL_CONNECT_FD:-}} kept=() other
  [ -n "$fd" ] || return 0
  exec {fd}>&- 2>/dev/null || true
  for other in "${VT_TUNNEL_CONNECT_FDS[@]}"; do
    [ "$other" = "$fd" ] || kept+=("$other")
  done
  VT_TUNNEL_CONNECT_FDS=("${kept[@]}")
  [ "$fd" != "${VT_TUNNEL_CONNECT_FD:-}" ] || VT_TUNNEL_CONNECT_FD=
}
