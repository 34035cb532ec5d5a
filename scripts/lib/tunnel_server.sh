# A real tunnel to test against, its server side: ocserv in one network namespace, the client
# side in another, joined by a veth pair. Sourced through tunnel.sh; bash, root only, safe under
# `set -euo pipefail`. Nothing of it touches the host's own network: every address lives inside
# the two namespaces, which vt_tunnel_down deletes again.
#
#   vt_tunnel_up [self-signed|ca]     bring the server up; exports the VT_TUNNEL_* facts below
#   vt_tunnel_down                    tear everything down (idempotent, fine from an EXIT trap)
#   vt_tunnel_client CMD...           run CMD in the client namespace
#   vt_tunnel_client_prefix [--trust-test-ca]
#                                     the words that do so, for background jobs ($! = CMD)
#   vt_tunnel_client_trusting_test_ca CMD...
#                                     the same, with the system root bundle replaced, for CMD
#                                     and its children only, by one that also holds the test CA
#   vt_tunnel_wait_tun present|absent [SECONDS]
#                                     wait until a tun interface exists (prints its name) or is gone
#   vt_tunnel_ping [COUNT]            ping the server's tunnel address through the tunnel
#   vt_tunnel_totp                    the account's next one-time code, in VT_TUNNEL_OTP_CODE
#   vt_tunnel_proc_alive PID          true while PID runs (a zombie has ended)
#
# Facts exported by vt_tunnel_up:
#   VT_TUNNEL_ID, VT_TUNNEL_SRV_NS, VT_TUNNEL_CLI_NS   unique id and namespace names
#   VT_TUNNEL_DIR          work directory (certificates, configuration, ocserv.log)
#   VT_TUNNEL_SERVER       the server's address, as given to OpenConnect
#   VT_TUNNEL_CLIENT_ADDR  the client's end of the veth pair
#   VT_TUNNEL_USER, VT_TUNNEL_PASSWORD                 the one account ocserv accepts
#   VT_TUNNEL_PIN          pin-sha256:<base64 of SHA-256 of the server key's SubjectPublicKeyInfo>
#   VT_TUNNEL_CERT_MODE    self-signed or ca: which certificate ocserv presents
#   VT_TUNNEL_CAFILE       the test CA (PEM) that signed the "ca" certificate
#   VT_TUNNEL_ROOTS_WITH_TEST_CA   the system root bundle with the test CA appended
#   VT_TUNNEL_GATEWAY      the server's tunnel address (first of the pool)
#   VT_TUNNEL_OCSERV_PID   ocserv's main process
#
# Tunables: VT_TUNNEL_TIMEOUT (seconds for each bounded wait, default 15), VT_TUNNEL_SYSTEM_ROOTS
# (default /etc/ssl/certs/ca-certificates.crt), VT_TUNNEL_NO_UDP=1 (TLS only, no DTLS),
# VT_TUNNEL_USER_NAME (the account's name instead of a generated one), VT_TUNNEL_OTP=1 (a TOTP
# after the password: VT_TUNNEL_OTP_SECRET, codes from vt_tunnel_totp), VT_TUNNEL_GROUPS
# ("engineering sales": a group form with these, the account a member of each),
# VT_TUNNEL_FULL=1 (what real servers push: a default route, a DNS server and a domain, with a
# default route of the client namespace's own for the script to replace; the script then
# rewrites /etc/resolv.conf and /run/vpnc, so the caller must have made both its own, e.g. in a
# private mount namespace). VT_TUNNEL_DNS and VT_TUNNEL_DOMAIN are what the server pushes then.
# VT_TUNNEL_ROUTES=N (N more split routes, host routes below 10.220.0.0, for a server of many).
# shellcheck shell=bash

_vt_tunnel_err() { printf 'tunnel: %s\n' "$*" >&2; }

# Polls CMD every 50 ms until it succeeds, SECONDS have passed, or it answers 2.
_vt_tunnel_poll() {
  local seconds=$1
  shift
  local deadline=$((${EPOCHREALTIME/./} + seconds * 1000000)) rc
  while :; do
    "$@" && return 0
    rc=$?
    # 2 means the condition can no longer come true (say, the server has died).
    [ "$rc" -ne 2 ] || return 2
    [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

_vt_tunnel_alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

_vt_tunnel_listening() {
  _vt_tunnel_alive "$VT_TUNNEL_OCSERV_PID" || return 2
  ip netns exec "$VT_TUNNEL_SRV_NS" ss -Hltn "sport = :443" 2>/dev/null | grep -q .
}

# Chained with && throughout: callers test it in a condition, where `set -e` does not apply.
_vt_tunnel_certificates() {
  local dir=$1 ip=$2
  (
    cd "$dir" &&
      umask 077 &&
      openssl ecparam -name prime256v1 -genkey -noout -out server.key 2>/dev/null &&
      openssl req -x509 -new -key server.key -subj "/CN=$ip" -days 3 \
        -addext "subjectAltName=IP:$ip" -addext "extendedKeyUsage=serverAuth" \
        -out server-self-signed.pem 2>/dev/null &&
      openssl ecparam -name prime256v1 -genkey -noout -out test-ca.key 2>/dev/null &&
      openssl req -x509 -new -key test-ca.key -subj "/CN=Vantreel tunnel test CA $VT_TUNNEL_ID" \
        -days 3 -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" -out test-ca.pem 2>/dev/null &&
      # The CA-signed certificate reuses the server key, so the pin holds for both.
      openssl req -new -key server.key -subj "/CN=$ip" -out server.csr 2>/dev/null &&
      printf 'subjectAltName=IP:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' \
        "$ip" >server.ext &&
      openssl x509 -req -in server.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial \
        -days 3 -extfile server.ext -out server-ca-signed.pem 2>/dev/null &&
      cat server-ca-signed.pem test-ca.pem >server-ca-chain.pem &&
      chmod 0644 server-self-signed.pem server-ca-signed.pem server-ca-chain.pem test-ca.pem &&
      rm -f server.csr server.ext test-ca.srl
  )
}

_vt_tunnel_pin() {
  local - digest
  set -o pipefail
  digest=$(openssl pkey -in "$1" -pubout -outform DER | openssl dgst -sha256 -binary | base64) ||
    return 1
  [ "${#digest}" -eq 44 ] || return 1
  printf 'pin-sha256:%s' "$digest"
}

vt_tunnel_up() {
  local mode=${1:-self-signed}
  if [ "$mode" != self-signed ] && [ "$mode" != ca ]; then
    _vt_tunnel_err "unknown certificate mode $mode (self-signed or ca)"
    return 2
  fi
  if [ "$(id -u)" -ne 0 ]; then
    _vt_tunnel_err "network namespaces need root"
    return 1
  fi
  if [ -n "${VT_TUNNEL_SRV_NS:-}" ]; then
    _vt_tunnel_err "a tunnel environment is already up ($VT_TUNNEL_SRV_NS); call vt_tunnel_down first"
    return 1
  fi
  local timeout=${VT_TUNNEL_TIMEOUT:-15}
  local roots=${VT_TUNNEL_SYSTEM_ROOTS:-/etc/ssl/certs/ca-certificates.crt}

  # Names and addresses are fixed before anything is created, so that vt_tunnel_down can undo
  # whatever part of this function ran before a failure or a signal.
  local rnd
  rnd=$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')
  if ! [[ "$rnd" =~ ^[0-9a-f]{6}$ ]]; then
    _vt_tunnel_err "/dev/urandom: cannot draw an id"
    return 1
  fi
  export VT_TUNNEL_ID=$rnd
  export VT_TUNNEL_SRV_NS=vt-srv-$rnd VT_TUNNEL_CLI_NS=vt-cli-$rnd
  local octet=$((16#${rnd:0:2} % 250 + 2))
  export VT_TUNNEL_SERVER=172.31.$octet.1 VT_TUNNEL_CLIENT_ADDR=172.31.$octet.2
  export VT_TUNNEL_GATEWAY=10.213.$octet.1
  local pool=10.213.$octet.0/29
  # /run/vpnc is shared by every namespace: the vpnc-script creates it on first use.
  if [ -e /run/vpnc ]; then
    VT_TUNNEL_RUN_VPNC_EXISTED=1
  else
    VT_TUNNEL_RUN_VPNC_EXISTED=0
  fi
  export VT_TUNNEL_RUN_VPNC_EXISTED
  export VT_TUNNEL_CERT_MODE=$mode VT_TUNNEL_OCSERV_PID=
  VT_TUNNEL_DIR=$(mktemp -d /tmp/vt-tunnel.XXXXXX) || {
    _vt_tunnel_err "mktemp: cannot create the work directory"
    vt_tunnel_down
    return 1
  }
  export VT_TUNNEL_DIR
  # ocserv's workers run as nobody and must reach the sec-mod socket in here.
  chmod 0755 "$VT_TUNNEL_DIR" || {
    _vt_tunnel_err "chmod $VT_TUNNEL_DIR failed"
    vt_tunnel_down
    return 1
  }

  if ! ip netns add "$VT_TUNNEL_SRV_NS" || ! ip netns add "$VT_TUNNEL_CLI_NS"; then
    _vt_tunnel_err "ip netns add $VT_TUNNEL_SRV_NS / $VT_TUNNEL_CLI_NS failed"
    vt_tunnel_down
    return 1
  fi
  # Both ends are created directly inside their namespaces: nothing appears in the host's.
  if ! ip link add "vts$rnd" netns "$VT_TUNNEL_SRV_NS" type veth \
    peer name "vtc$rnd" netns "$VT_TUNNEL_CLI_NS" ||
    ! ip -n "$VT_TUNNEL_SRV_NS" link set lo up ||
    ! ip -n "$VT_TUNNEL_CLI_NS" link set lo up ||
    ! ip -n "$VT_TUNNEL_SRV_NS" addr add "$VT_TUNNEL_SERVER/30" dev "vts$rnd" ||
    ! ip -n "$VT_TUNNEL_CLI_NS" addr add "$VT_TUNNEL_CLIENT_ADDR/30" dev "vtc$rnd" ||
    ! ip -n "$VT_TUNNEL_SRV_NS" link set "vts$rnd" up ||
    ! ip -n "$VT_TUNNEL_CLI_NS" link set "vtc$rnd" up; then
    _vt_tunnel_err "veth pair vts$rnd/vtc$rnd could not be set up"
    vt_tunnel_down
    return 1
  fi

  if ! _vt_tunnel_certificates "$VT_TUNNEL_DIR" "$VT_TUNNEL_SERVER"; then
    _vt_tunnel_err "openssl: cannot create the certificates in $VT_TUNNEL_DIR"
    vt_tunnel_down
    return 1
  fi
  export VT_TUNNEL_CAFILE=$VT_TUNNEL_DIR/test-ca.pem
  export VT_TUNNEL_ROOTS_WITH_TEST_CA=$VT_TUNNEL_DIR/roots-with-test-ca.pem
  local sources=("$VT_TUNNEL_CAFILE")
  [ ! -r "$roots" ] || sources=("$roots" "$VT_TUNNEL_CAFILE")
  if ! cat "${sources[@]}" >"$VT_TUNNEL_ROOTS_WITH_TEST_CA" ||
    ! chmod 0644 "$VT_TUNNEL_ROOTS_WITH_TEST_CA"; then
    _vt_tunnel_err "cannot write $VT_TUNNEL_ROOTS_WITH_TEST_CA"
    vt_tunnel_down
    return 1
  fi
  export VT_TUNNEL_PIN
  VT_TUNNEL_PIN=$(_vt_tunnel_pin "$VT_TUNNEL_DIR/server.key") || {
    _vt_tunnel_err "openssl: cannot compute the pin of $VT_TUNNEL_DIR/server.key"
    vt_tunnel_down
    return 1
  }

  export VT_TUNNEL_USER=${VT_TUNNEL_USER_NAME:-vt-user-$rnd}
  export VT_TUNNEL_PASSWORD
  VT_TUNNEL_PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  local member=() group groups=''
  if [ -n "${VT_TUNNEL_GROUPS:-}" ]; then
    member=(-g "${VT_TUNNEL_GROUPS// /,}")
    groups="auto-select-group = false"
    for group in $VT_TUNNEL_GROUPS; do groups+=$'\n'"select-group = $group"; done
  fi
  if ! printf '%s\n%s\n' "$VT_TUNNEL_PASSWORD" "$VT_TUNNEL_PASSWORD" |
    ocpasswd -c "$VT_TUNNEL_DIR/ocpasswd" "${member[@]}" "$VT_TUNNEL_USER" >/dev/null 2>&1; then
    _vt_tunnel_err "ocpasswd: cannot write $VT_TUNNEL_DIR/ocpasswd"
    vt_tunnel_down
    return 1
  fi
  local auth="plain[passwd=$VT_TUNNEL_DIR/ocpasswd]"
  if [ "${VT_TUNNEL_OTP:-0}" = 1 ]; then
    export VT_TUNNEL_OTP_SECRET VT_TUNNEL_OTP_LAST=0
    VT_TUNNEL_OTP_SECRET=$(od -An -N20 -tx1 /dev/urandom | tr -d ' \n')
    printf 'HOTP/T30 %s - %s\n' "$VT_TUNNEL_USER" "$VT_TUNNEL_OTP_SECRET" >"$VT_TUNNEL_DIR/otp"
    auth="plain[passwd=$VT_TUNNEL_DIR/ocpasswd,otp=$VT_TUNNEL_DIR/otp]"
  fi

  local cert=$VT_TUNNEL_DIR/server-self-signed.pem
  [ "$mode" = ca ] && cert=$VT_TUNNEL_DIR/server-ca-chain.pem
  local udp="udp-port = 443"
  [ "${VT_TUNNEL_NO_UDP:-0}" = 1 ] && udp="# no UDP: TLS only"
  # By default no dns or default-domain: the client's vpnc-script would rewrite the host's
  # resolv.conf, which no network namespace separates.
  local pushed="route = $pool"
  if [ "${VT_TUNNEL_FULL:-0}" = 1 ]; then
    export VT_TUNNEL_DNS=10.213.$octet.1 VT_TUNNEL_DOMAIN=vt-$rnd.example
    pushed="dns = $VT_TUNNEL_DNS
default-domain = $VT_TUNNEL_DOMAIN"
    if ! ip -n "$VT_TUNNEL_CLI_NS" route add default via "$VT_TUNNEL_SERVER"; then
      _vt_tunnel_err "cannot give the client namespace a default route"
      vt_tunnel_down
      return 1
    fi
  fi
  # VT_TUNNEL_ROUTES=N: N host routes more, as a server of many split routes pushes them.
  local many=${VT_TUNNEL_ROUTES:-0} i
  for ((i = 0; i < many; i++)); do
    pushed+=$'\n'"route = 10.$((220 + i / 62500)).$((i / 250 % 250)).$((i % 250 + 1))/32"
  done
  if ! cat >"$VT_TUNNEL_DIR/ocserv.conf" <<EOF
auth = "$auth"
$groups
listen-host = $VT_TUNNEL_SERVER
tcp-port = 443
$udp
run-as-user = nobody
run-as-group = nogroup
socket-file = $VT_TUNNEL_DIR/ocserv.sock
occtl-socket-file = $VT_TUNNEL_DIR/occtl.sock
pid-file = $VT_TUNNEL_DIR/ocserv.pid
server-cert = $cert
server-key = $VT_TUNNEL_DIR/server.key
isolate-workers = true
max-clients = 16
max-same-clients = 0
max-ban-score = 0
rate-limit-ms = 0
keepalive = 32400
dpd = 90
try-mtu-discovery = false
auth-timeout = 240
cookie-timeout = 300
deny-roaming = false
use-occtl = true
log-level = 1
device = vtun
predictable-ips = true
ipv4-network = $pool
$pushed
ping-leases = false
EOF
  then
    _vt_tunnel_err "cannot write $VT_TUNNEL_DIR/ocserv.conf"
    vt_tunnel_down
    return 1
  fi

  # env resets SIGINT/SIGQUIT, which a non-interactive shell's background job would ignore.
  ip netns exec "$VT_TUNNEL_SRV_NS" env --default-signal \
    ocserv -f -d 1 -c "$VT_TUNNEL_DIR/ocserv.conf" \
    </dev/null >"$VT_TUNNEL_DIR/ocserv.log" 2>&1 &
  VT_TUNNEL_OCSERV_PID=$!
  if ! _vt_tunnel_poll "$timeout" _vt_tunnel_listening; then
    _vt_tunnel_err "ocserv did not listen on $VT_TUNNEL_SERVER:443 within ${timeout}s; its log:"
    tail -n 20 "$VT_TUNNEL_DIR/ocserv.log" >&2 || true
    vt_tunnel_down
    return 1
  fi
  return 0
}

# Signals every process of namespace NS, first politely, then with SIGKILL.
_vt_tunnel_empty_netns() {
  local ns=$1 pids pid
  pids=$(ip netns pids "$ns" 2>/dev/null) || return 0
  [ -n "$pids" ] || return 0
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
  _vt_tunnel_poll 3 _vt_tunnel_netns_empty "$ns" && return 0
  pids=$(ip netns pids "$ns" 2>/dev/null) || return 0
  for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
  _vt_tunnel_poll 3 _vt_tunnel_netns_empty "$ns" || true
}

_vt_tunnel_netns_empty() { [ -z "$(ip netns pids "$1" 2>/dev/null)" ]; }

vt_tunnel_down() {
  local ns
  # A daemon still running would keep its tunnel, and the namespace, busy.
  if declare -F vt_tunnel_daemon_stop >/dev/null; then
    vt_tunnel_daemon_stop
  fi
  if _vt_tunnel_alive "${VT_TUNNEL_OCSERV_PID:-}"; then
    kill -TERM "$VT_TUNNEL_OCSERV_PID" 2>/dev/null || true
    _vt_tunnel_poll 3 _vt_tunnel_ocserv_gone || kill -KILL "$VT_TUNNEL_OCSERV_PID" 2>/dev/null || true
  fi
  if [ -n "${VT_TUNNEL_OCSERV_PID:-}" ]; then
    wait "$VT_TUNNEL_OCSERV_PID" 2>/dev/null || true
  fi
  for ns in "${VT_TUNNEL_CLI_NS:-}" "${VT_TUNNEL_SRV_NS:-}"; do
    [ -n "$ns" ] || continue
    if [ -e "/run/netns/$ns" ]; then
      _vt_tunnel_empty_netns "$ns"
      ip netns delete "$ns" 2>/dev/null || _vt_tunnel_err "ip netns delete $ns failed"
    fi
  done
  case "${VT_TUNNEL_DIR:-}" in
    /tmp/vt-tunnel.*) rm -rf -- "$VT_TUNNEL_DIR" ;;
  esac
  if [ "${VT_TUNNEL_RUN_VPNC_EXISTED:-1}" = 0 ]; then
    rm -rf -- /run/vpnc
  fi
  unset VT_TUNNEL_ID VT_TUNNEL_SRV_NS VT_TUNNEL_CLI_NS VT_TUNNEL_DIR VT_TUNNEL_SERVER \
    VT_TUNNEL_CLIENT_ADDR VT_TUNNEL_USER VT_TUNNEL_PASSWORD VT_TUNNEL_PIN VT_TUNNEL_CERT_MODE \
    VT_TUNNEL_CAFILE VT_TUNNEL_ROOTS_WITH_TEST_CA VT_TUNNEL_GATEWAY VT_TUNNEL_OCSERV_PID \
    VT_TUNNEL_RUN_VPNC_EXISTED VT_TUNNEL_OC_PID VT_TUNNEL_OC_T0 VT_TUNNEL_DNS VT_TUNNEL_DOMAIN \
    VT_TUNNEL_OTP_SECRET VT_TUNNEL_OTP_LAST
  return 0
}

# Sets VT_TUNNEL_OTP_CODE to the next one-time code of the account (RFC 6238: SHA-1, 6 digits,
# 30 s), of a window later than every one used before: the server refuses a window it has seen
# and accepts up to three ahead. Not in a subshell: it keeps the last window in this shell.
vt_tunnel_totp() {
  local now window mac offset
  now=$(($(date +%s) / 30))
  window=$((now + 1))
  [ "$window" -gt "${VT_TUNNEL_OTP_LAST:-0}" ] || window=$((VT_TUNNEL_OTP_LAST + 1))
  if [ "$window" -gt $((now + 3)) ]; then
    _vt_tunnel_err "vt_tunnel_totp: no unused window left; wait 30 s"
    return 1
  fi
  VT_TUNNEL_OTP_LAST=$window
  # shellcheck disable=SC2059 # the format is the counter's bytes as \x escapes
  mac=$(printf "$(printf '%016x' "$window" | sed 's/../\\x&/g')" |
    openssl dgst -sha1 -mac HMAC -macopt "hexkey:$VT_TUNNEL_OTP_SECRET" -r | cut -d' ' -f1)
  offset=$((16#${mac:39:1} * 2))
  # shellcheck disable=SC2034 # the caller's
  VT_TUNNEL_OTP_CODE=$(printf '%06d' $(((16#${mac:offset:8} & 0x7fffffff) % 1000000)))
}

_vt_tunnel_ocserv_gone() { ! _vt_tunnel_alive "$VT_TUNNEL_OCSERV_PID"; }

# vt_tunnel_client_prefix [--trust-test-ca]: sets the array VT_TUNNEL_CLIENT_CMD to the words
# that run a program in the client namespace, so that `"${VT_TUNNEL_CLIENT_CMD[@]}" prog &` leaves
# $! naming prog itself (every word execs the next). With --trust-test-ca, the program and its
# children also see a system root bundle that holds the test CA: a private mount namespace binds
# VT_TUNNEL_ROOTS_WITH_TEST_CA over it, leaves the host's file untouched, and disappears with
# the last process in it. That is how a daemon exporting the system roots is made to trust the
# test server without changing the machine.
vt_tunnel_client_prefix() {
  VT_TUNNEL_CLIENT_CMD=(ip netns exec "$VT_TUNNEL_CLI_NS")
  if [ "${1:-}" = --trust-test-ca ]; then
    # shellcheck disable=SC2016 # expanded by the inner shell
    VT_TUNNEL_CLIENT_CMD+=(unshare --mount --propagation private -- /bin/sh -c
      'mount --bind -- "$1" "$2" && shift 2 && exec "$@"' sh
      "$VT_TUNNEL_ROOTS_WITH_TEST_CA" "${VT_TUNNEL_SYSTEM_ROOTS:-/etc/ssl/certs/ca-certificates.crt}")
  fi
}

vt_tunnel_client() {
  vt_tunnel_client_prefix
  "${VT_TUNNEL_CLIENT_CMD[@]}" "$@"
}

vt_tunnel_client_trusting_test_ca() {
  vt_tunnel_client_prefix --trust-test-ca
  "${VT_TUNNEL_CLIENT_CMD[@]}" "$@"
}

# Prints the names of the client namespace's tun interfaces, one a line.
vt_tunnel_tun_names() {
  ip -n "$VT_TUNNEL_CLI_NS" -o link show type tun 2>/dev/null |
    sed -E 's/^[0-9]+: ([^:@]+).*/\1/'
}

_vt_tunnel_tun_present() { [ -n "$(vt_tunnel_tun_names)" ]; }
_vt_tunnel_tun_absent() { [ -z "$(vt_tunnel_tun_names)" ]; }

vt_tunnel_wait_tun() {
  local want=${1:-present} seconds=${2:-${VT_TUNNEL_TIMEOUT:-15}}
  case "$want" in
    present)
      _vt_tunnel_poll "$seconds" _vt_tunnel_tun_present || return 1
      vt_tunnel_tun_names | head -n 1
      ;;
    absent) _vt_tunnel_poll "$seconds" _vt_tunnel_tun_absent ;;
    *)
      _vt_tunnel_err "vt_tunnel_wait_tun: present or absent, not $want"
      return 2
      ;;
  esac
}

vt_tunnel_ping() {
  local count=${1:-3}
  vt_tunnel_client ping -n -q -c "$count" -i 0.2 -W 2 "$VT_TUNNEL_GATEWAY"
}

# A zombie counts as ended: kill -0 still succeeds on a child that nobody has waited for yet.
vt_tunnel_proc_alive() {
  local state
  [ -n "${1:-}" ] || return 1
  state=$(sed -E 's/^.*\) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

_vt_tunnel_proc_gone() { ! vt_tunnel_proc_alive "$1"; }
