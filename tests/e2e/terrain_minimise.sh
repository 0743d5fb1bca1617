#!/usr/bin/env bash
# A real minimise under a window manager (openbox), on a display of its own: X11
# delivers it as hide + minimise. The program stops drawing (no CPU while
# iconified), draws again once restored, and quits with status 0 on Esc.
set -uo pipefail
: "${BUILD_DIR:?}"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# The window manager must not touch the display other tests use.
unset DISPLAY
source "$ROOT/scripts/lib.sh"
source "$ROOT/tests/e2e/lib.sh"
start_display || { echo "FAIL: no display"; exit 1; }
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
wm=""
cleanup() {
  [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null
  [ -n "$wm" ] && kill "$wm" 2>/dev/null
  rm -rf "$work"
  stop_display
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }
command -v openbox >/dev/null || fail "openbox is not installed (scripts/setup.sh installs it)"

openbox --sm-disable >"$work/wm.log" 2>&1 &
wm=$!
for _ in $(seq 1 50); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' || fail "openbox did not start"

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"

centre() {
  capture_window "$work/shot.png" 2>/dev/null || { echo none; return; }
  # Sky, clear of the scene and of the debug windows.
  convert "$work/shot.png" -format "%[pixel:p{640,150}]" info:
}
grey() { [ "$1" = "gray(51)" ] || [ "$1" = "srgb(51,51,51)" ]; }
# The first frame can take many seconds on a loaded machine: poll for it.
c=none
for _ in $(seq 1 300); do
  c=$(centre)
  grey "$c" && break
  sleep 0.2
done
grey "$c" || fail "before minimising the sky is $c, not gray 51"

# The frame loop's thread: the physics thread keeps stepping while minimised.
ticks() { main_thread_ticks; }
hz=$(getconf CLK_TCK)
xdotool windowminimize --sync "$wid" || fail "xdotool could not minimise the window"
state=$(xprop -id "$wid" WM_STATE 2>/dev/null | awk '/window state/ {print $3}')
[ "$state" = "Iconic" ] || fail "the window manager did not iconify the window (state $state)"
sleep 1
t0=$(ticks); sleep 2; t1=$(ticks)
idle=$(( (t1 - t0) * 100 / (2 * hz) ))
echo "CPU use while minimised: ${idle}% of one core"
[ "$idle" -lt 5 ] || fail "the minimised program still takes ${idle}% of a core"
kill -0 "$TERRAIN_PID" 2>/dev/null || fail "the program ended while minimised"

xdotool windowactivate --sync "$wid" 2>/dev/null || xdotool windowmap --sync "$wid"
ok=""
for _ in $(seq 1 30); do
  c=$(centre)
  if grey "$c"; then ok=1; break; fi
  sleep 0.2
done
[ -n "$ok" ] || fail "after restoring the sky is $c, not gray 51"
# Drawing again shows as frame-thread CPU; give a loaded machine time to get to it.
drew=""
for _ in $(seq 1 20); do
  t0=$(ticks); sleep 1; t1=$(ticks)
  if [ $((t1 - t0)) -gt 0 ]; then drew=1; break; fi
done
[ -n "$drew" ] || fail "the restored program does not draw"

xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TERRAIN_PID" 2>/dev/null && fail "Esc did not end the program"
wait "$TERRAIN_PID"
status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
echo "ok"
