#!/usr/bin/env bash
# Installs everything the build, the program and the tests need. Idempotent:
# a machine that already has it all does no network work.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "setup: must run as root or with sudo available" >&2; exit 1
  fi
fi

PACKAGES=(
  g++ cmake ninja-build pkg-config git clang libclang-rt-14-dev
  libsdl2-dev libvulkan-dev libvulkan1 glslc mesa-vulkan-drivers
  xvfb xdotool imagemagick x11-utils
  libstb-dev libtinygltf-dev libogg-dev libopus-dev libxxhash-dev libssl-dev
  libnatpmp-dev googletest libgmock-dev libgtest-dev libbenchmark-dev
  libbullet-dev libabsl-dev libzstd-dev zstd fonts-dejavu-core libopusfile-dev
  vulkan-validationlayers openbox libegl-dev libgl-dev iproute2 valgrind xclip libimgui-dev
  nftables miniupnpd-nftables linux-perf
)

# The NAT-PMP gateway is for tests only: they start it inside a network
# namespace of their own. Its daemon is never started by the package.
miniupnpd_outside_test_namespaces() {
  local pid
  for pid in $(pgrep -x miniupnpd 2>/dev/null); do
    if [ "$(readlink "/proc/$pid/ns/net")" = "$(readlink /proc/1/ns/net)" ]; then return 0; fi
  done
  return 1
}

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# lavapipe from backports (Mesa 25): descriptor indexing and ray query.
need_backports_mesa=0
codename=""
if [ -r /etc/os-release ]; then codename=$(. /etc/os-release; echo "${VERSION_CODENAME:-}"); fi
if [ "$codename" = "bookworm" ]; then
  mesa_ver=$(dpkg-query -W -f='${Version}' mesa-vulkan-drivers 2>/dev/null || true)
  case "$mesa_ver" in
    2[5-9].*|[3-9][0-9].*) ;;
    *) need_backports_mesa=1 ;;
  esac
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_backports_mesa -eq 0 ]; then
  if miniupnpd_outside_test_namespaces; then
    echo "setup: miniupnpd is running outside a test namespace; stop it (tests start their own)" >&2; exit 1
  fi
  exit 0
fi

echo "setup: installing ${missing[*]:-} (backports mesa: $need_backports_mesa)"
export DEBIAN_FRONTEND=noninteractive

target=()
if [ "$codename" = "bookworm" ]; then
  # Add bookworm-backports with the mirror this machine already uses.
  if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    uri=""
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -r "$f" ] || continue
      uri=$(awk '/^URIs:/ {for (i=2;i<=NF;i++) if ($i !~ /security/) {print $i; exit}}' "$f")
      [ -n "$uri" ] && break
    done
    if [ -z "$uri" ] && [ -r /etc/apt/sources.list ]; then
      uri=$(awk '$1=="deb" && $0 !~ /security/ {for (i=2;i<=NF;i++) if ($i ~ /^(https?|ftp|file):/) {print $i; exit}}' /etc/apt/sources.list | head -n1)
    fi
    if [ -z "$uri" ]; then echo "setup: no Debian mirror found in apt sources" >&2; exit 1; fi
    echo "deb $uri bookworm-backports main" | $SUDO tee /etc/apt/sources.list.d/terrain-backports.list >/dev/null
  fi
  target=(-t bookworm-backports)
fi

echo "miniupnpd miniupnpd/start_daemon boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${target[@]}" "${PACKAGES[@]}"
if miniupnpd_outside_test_namespaces; then
  echo "setup: miniupnpd is running outside a test namespace; stop it (tests start their own)" >&2; exit 1
fi
