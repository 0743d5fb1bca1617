#!/usr/bin/env bash
# The program opens a 1280x720 "Terrain" window showing the clear colour, keeps its
# CPU use bounded by frame pacing, stops drawing while hidden, and quits with
# status 0 on Esc.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
cd "$BUILD_DIR"
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }

./terrain >"$work/out" 2>"$work/err" &
pid=$!
wid=""
for _ in $(seq 1 100); do
  wid=$(xdotool search --onlyvisible --name '^Terrain$' 2>/dev/null | head -n1)
  [ -n "$wid" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the program ended before opening its window"
  sleep 0.1
done
[ -n "$wid" ] || fail "no window titled Terrain"

geometry=$(xdotool getwindowgeometry "$wid" | awk '/Geometry/ {print $2}')
[ "$geometry" = "1280x720" ] || fail "window is $geometry, not 1280x720"

sleep 2
if [ "${TERRAIN_VALIDATION:-0}" != 0 ]; then
  grep -q libVkLayer_khronos_validation "/proc/$pid/maps" || fail "validation was asked for but is not loaded"
fi
grep -q '^Found GPU: ' "$work/out" || fail "no Found GPU line"
grep -q '^Selected: .* (\(discrete\|fallback\), vendor 0x[0-9A-F]\{4,\})$' "$work/out" || fail "no Selected line"

# Pixels of the window: the clear colour 0.2 is gray 51 everywhere.
import -window "$wid" "$work/shot.png" || fail "screenshot failed"
for p in 5,5 640,360 1274,714 1000,100; do
  c=$(convert "$work/shot.png" -format "%[pixel:p{$p}]" info:)
  [ "$c" = "gray(51)" ] || [ "$c" = "srgb(51,51,51)" ] || fail "pixel $p is $c, not gray 51"
done

ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
# Paced to 60 frames per second the loop takes about a fifth of a core here;
# unpaced it takes two thirds or more.
t0=$(ticks); sleep 3; t1=$(ticks)
use=$(( (t1 - t0) * 100 / (3 * hz) ))
echo "CPU use while drawing: ${use}% of one core"
[ "$use" -lt 45 ] || fail "the frame loop takes ${use}% of a core"

# Hidden: no drawing, the loop sleeps until the window system has news.
xdotool windowunmap "$wid"
sleep 1
t0=$(ticks); sleep 2; t1=$(ticks)
idle=$(( (t1 - t0) * 100 / (2 * hz) ))
echo "CPU use while hidden: ${idle}% of one core"
[ "$idle" -lt 5 ] || fail "the hidden program still takes ${idle}% of a core"
xdotool windowmap "$wid"
sleep 1
import -window "$wid" "$work/shot2.png" || fail "screenshot after showing failed"
c=$(convert "$work/shot2.png" -format "%[pixel:p{640,360}]" info:)
[ "$c" = "gray(51)" ] || [ "$c" = "srgb(51,51,51)" ] || fail "after showing again the centre is $c"

xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "Esc did not end the program"
wait "$pid"
status=$?
pid=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
echo "ok"
