# Shared by scripts/test and scripts/demo: installing what is missing, and building.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian 12 packages the build and the tests need.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libgl1-mesa-dev libxcb1-dev libgtest-dev libgmock-dev
                fonts-dejavu-core libtelnet-dev libssh-dev qt6-multimedia-dev python3 nlohmann-json3-dev
                qtkeychain-qt6-dev libsecret-1-0)
# What the poller is built with: its /metrics server, and its web config's YAML and bcrypt (crypt).
POLLER_BUILD_PACKAGES=(libmicrohttpd-dev libyaml-dev libcrypt-dev)
# Then promtool and the Prometheus server its tests run against; openssl makes their TLS certificates.
POLLER_PACKAGES=("${POLLER_BUILD_PACKAGES[@]}" prometheus openssl)
# Debian packages (scripts/package) and their tests: dpkg-shlibdeps, lintian, systemd-analyze, the
# maintainer scripts' adduser, unshare and ip for the throw-away root they are installed in, and
# debootstrap and systemd-nspawn for the container the service runs in under a real systemd.
PACKAGE_PACKAGES=(dpkg-dev lintian systemd adduser util-linux iproute2 xz-utils debootstrap systemd-container)
# A virtual display with a small window manager: the window's X hints are tested under it, and the
# demo runs on it when there is no display.
X_PACKAGES=(xvfb xauth openbox)
# The desktop entry's check, the icon theme whose index tells Qt where installed icons are, and a
# session bus with a Secret Service for the keyring's tests (tests/keyring/run-with-keyring), and a
# sound server the aiming tone is played through (tests/tools/run-with-pulse).
TEST_PACKAGES=("${X_PACKAGES[@]}" desktop-file-utils hicolor-icon-theme dbus-daemon gnome-keyring pulseaudio)
# The fuzz targets' compiler and its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
# The real telnet daemons and the tools tests/real/run-with-daemon starts them with. Debian adds
# telnet to inetd.conf switched off; the daemons run only inside the tests' private namespaces.
REAL_DAEMON_PACKAGES=(inetutils-telnetd inetutils-inetd iproute2 util-linux login)
# Link loss for real: nftables drops the access point's packets inside the tests' private network
# namespace (tests/linkloss/run-in-netns), never on the machine's own.
LINKLOSS_PACKAGES=(nftables)

# The SSH transport (libssh), and the real OpenSSH server and ssh-keygen its tests run with; the
# server runs only inside the tests' private namespaces (tests/ssh/run-with-sshd).
SSH_PACKAGES=(libssh-dev openssh-server openssh-client)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages given that are not installed yet; quiet and quick when none is missing.
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "Installing packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# step TEXT: the one line that announces each step of the scripts.
step() {
  echo "== $*"
}

# build DIR [cmake options...] [-- targets...]: configures (once) and builds into DIR, showing the
# build's progress; everything, or only the targets given (and what they need).
build() {
  local dir=$1; shift
  local options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=("$@")
  if [ ! -f "$dir/build.ninja" ]; then
    step "Configuring ${dir#"$ROOT"/}"
    cmake -S "$ROOT" -B "$dir" -G Ninja "${options[@]}" >/dev/null
  fi
  step "Building ${dir#"$ROOT"/}${targets[*]:+: ${targets[*]}}"
  cmake --build "$dir" -j"$(nproc)" ${targets[@]:+--target "${targets[@]}"}
}
