#!/usr/bin/env bash
# A window the platform cannot give (SDL's dummy video driver refuses Vulkan
# windows; a machine without Vulkan drivers has no surface extension) ends the
# program with status 1 and the platform's message, not a crash.
set -uo pipefail
: "${BUILD_DIR:?}"
cd "$BUILD_DIR"
ns=-n
[ "$(id -u)" -eq 0 ] || ns=-rn
err=$(mktemp)
trap 'rm -f "$err"' EXIT
check() {
  local what=$1; shift
  # In a network namespace of its own, like every other run (see lib.sh).
  env SDL_AUDIODRIVER=dummy LANG=C.UTF-8 "$@" timeout 20 unshare $ns sh -c 'ip link set lo up && exec ./terrain' \
    >/dev/null 2>"$err"
  local status=$?
  [ "$status" -eq 1 ] || { echo "FAIL ($what): exit status $status, want 1"; cat "$err"; exit 1; }
  grep -q '^platform: SDL_CreateWindow failed: ' "$err" || { echo "FAIL ($what): no platform message"; cat "$err"; exit 1; }
}
check "dummy video driver" SDL_VIDEODRIVER=dummy
check "no Vulkan driver" VK_ICD_FILENAMES=/nonexistent/icd.json VK_DRIVER_FILES=/nonexistent/icd.json
echo "ok"
