# Shared by the scripts in this folder: package installation and the build.
# shellcheck shell=bash

# Every Debian package the project builds, tests or demonstrates with.
VT_PACKAGES=(
  g++ cmake ninja-build pkg-config git
  libicu-dev liburiparser-dev libssl-dev openssl nlohmann-json3-dev libexpected-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang-format
  clang libclang-rt-14-dev clang-tidy
  openconnect ocserv vpnc-scripts iproute2 iputils-ping procps util-linux bc binutils locales
  systemd-container mmdebstrap
)

vt_say() { printf '==> %s\n' "$*"; }

vt_require_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$(basename "$0"): run this as root (the daemon, its tests and the tunnel need it)" >&2
    exit 1
  fi
}

# OpenConnect is started with LANG=en_US.UTF-8, which Debian does not generate by default.
vt_generate_locale() {
  if locale -a 2>/dev/null | grep -qx 'en_US.utf8'; then
    return 0
  fi
  vt_say "generating the locale en_US.UTF-8"
  if ! grep -qx 'en_US.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'en_US.UTF-8 UTF-8' >>/etc/locale.gen
  fi
  locale-gen >/dev/null
}

# Installs whatever of VT_PACKAGES is missing (refreshing the package lists only then) and
# generates the locale OpenConnect runs under.
vt_install_packages() {
  local missing=() p
  for p in "${VT_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -ne 0 ]; then
    vt_say "installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null ||
      return 1
  fi
  vt_generate_locale
}

# vt_build PRESET: configures (once) and builds one CMake preset.
vt_build() {
  local preset=$1
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" >/dev/null
  fi
  cmake --build --preset "$preset"
}
