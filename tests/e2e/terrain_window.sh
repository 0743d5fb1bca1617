#!/usr/bin/env bash
# The program opens a 1280x720 "Terrain" window showing the clear colour in the
# sky, keeps its frame loop's CPU use bounded by frame pacing, stops drawing
# while hidden, and quits with status 0 on Esc.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
pid=$TERRAIN_PID
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"

geometry=$(xdotool getwindowgeometry "$wid" | awk '/Geometry/ {print $2}')
[ "$geometry" = "1280x720" ] || fail "window is $geometry, not 1280x720"

sleep 2
if [ "${TERRAIN_VALIDATION:-0}" != 0 ]; then
  grep -q libVkLayer_khronos_validation "/proc/$pid/maps" || fail "validation was asked for but is not loaded"
fi
grep -q '^Found GPU: ' "$work/out" || fail "no Found GPU line"
grep -q '^Selected: .* (\(discrete\|fallback\), vendor 0x[0-9A-F]\{4,\})$' "$work/out" || fail "no Selected line"

# The sky shows the clear colour 0.2, gray 51; probes avoid the scene and the
# debug windows (Terrain, VoIP, Players, Trace at UI scale 0.5).
capture_window "$work/shot.png" || fail "screenshot failed"
for p in 640,150 300,50 1000,100 800,250 200,260; do
  c=$(convert "$work/shot.png" -format "%[pixel:p{$p}]" info:)
  [ "$c" = "gray(51)" ] || [ "$c" = "srgb(51,51,51)" ] || fail "pixel $p is $c, not gray 51"
done

# CPU of the frame loop (the main thread), with the physics thread paused
# (Space). The whole process is shown too: on lavapipe it is mostly the driver
# rendering, which takes longer than a frame here, so it says little about pacing.
xdotool key --window "$wid" space
sleep 1
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks); m0=$(main_thread_ticks); sleep 3; t1=$(ticks); m1=$(main_thread_ticks)
use=$(( (t1 - t0) * 100 / (3 * hz) ))
main=$(( (m1 - m0) * 100 / (3 * hz) ))
echo "CPU use while drawing: main thread ${main}% of one core (whole process ${use}%)"
[ "$main" -lt 45 ] || fail "the frame loop takes ${main}% of a core"

# Hidden: no drawing, the loop sleeps until the window system has news.
xdotool windowunmap "$wid"
sleep 1
t0=$(ticks); m0=$(main_thread_ticks); sleep 2; t1=$(ticks); m1=$(main_thread_ticks)
idle=$(( (t1 - t0) * 100 / (2 * hz) ))
main=$(( (m1 - m0) * 100 / (2 * hz) ))
echo "CPU use while hidden: ${idle}% of one core (main thread ${main}%)"
[ "$idle" -lt 5 ] || fail "the hidden program still takes ${idle}% of a core"
[ "$main" -lt 5 ] || fail "the hidden program's main thread still takes ${main}% of a core"
xdotool windowmap "$wid"
sleep 1
capture_window "$work/shot2.png" || fail "screenshot after showing failed"
c=$(convert "$work/shot2.png" -format "%[pixel:p{640,150}]" info:)
[ "$c" = "gray(51)" ] || [ "$c" = "srgb(51,51,51)" ] || fail "after showing again the sky is $c"

xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "Esc did not end the program"
wait "$pid"
status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
echo "ok"
