#!/usr/bin/env bash
# The sandbox driven by keys and the mouse: a reset while paused replays the
# same picture, a paused world stands still, B draws the bodies' boxes, F1 and a
# click select a body and show the gizmo, F12 saves the presented picture.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; rm -rf "$work"; rm -f "$BUILD_DIR"/terrain-[0-9][0-9][0-9][0-9].png; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }
rm -f terrain-[0-9][0-9][0-9][0-9].png

W=1280 H=720
# Pixel of a world point seen by player 0's start camera (0, 80, 100) -> (0, 25, 0),
# 60 degrees vertical, 16:9.
project() {
  awk -v px="$1" -v py="$2" -v pz="$3" -v W=$W -v H=$H 'BEGIN {
    ex = 0; ey = 80; ez = 100; fx = 0 - ex; fy = 25 - ey; fz = 0 - ez
    l = sqrt(fx*fx + fy*fy + fz*fz); fx /= l; fy /= l; fz /= l
    rx = -fz; ry = 0; rz = fx; l = sqrt(rx*rx + rz*rz); rx /= l; rz /= l       # f x (0,1,0)
    ux = ry*fz - rz*fy; uy = rz*fx - rx*fz; uz = rx*fy - ry*fx                 # r x f
    dx = px - ex; dy = py - ey; dz = pz - ez
    x = dx*rx + dy*ry + dz*rz; y = dx*ux + dy*uy + dz*uz; z = dx*fx + dy*fy + dz*fz
    t = sin(3.14159265358979/6) / cos(3.14159265358979/6)
    printf "%d %d", (x / (z * t * W / H) * 0.5 + 0.5) * W + 0.5, (0.5 - y / (z * t) * 0.5) * H + 0.5 }'
}

# Screenshots compared outside the fire above the scene and the debug window.
masked() {  # IN OUT
  convert "$1" -fill black -draw "rectangle 590,320 690,430" -draw "rectangle 0,0 330,470" "$2"
}
differing() {  # A B: pixels differing by more than 4% in some channel
  masked "$1" "$work/ma.png"; masked "$2" "$work/mb.png"
  compare -metric AE -fuzz 4% "$work/ma.png" "$work/mb.png" null: 2>&1 | awk '{ print int($1) }'
}
# count_colour FILE CROP: pixels with one channel above 200 and the others below 60,
# by channel, as "red green blue".
count_primaries() {
  convert "$1" -crop "$2" +repage -depth 8 txt:- |
    awk -F'[(),]+' 'NR > 1 { r = $3; g = $4; b = $5;
      if (r > 200 && g < 60 && b < 60) R++; if (g > 200 && r < 60 && b < 60) G++; if (b > 200 && r < 60 && g < 60) B++ }
      END { printf "%d %d %d", R, G, B }'
}
shot() { capture_window "$work/$1.png" || fail "screenshot $1"; }
keys() { xdotool key --window "$wid" --delay 0 "$@"; }

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"
sleep 2

# Reset and pause in one go, twice with a run between: the same picture.
keys r space
sleep 1
shot reset1
keys space
sleep 1.5
shot running
keys r space
sleep 1
shot reset2
n=$(differing "$work/reset1.png" "$work/reset2.png")
echo "reset twice: $n pixels differ"
[ "$n" -le 40 ] || fail "two resets gave different pictures ($n pixels)"
n=$(differing "$work/reset1.png" "$work/running.png")
[ "$n" -ge 200 ] || fail "running the physics changed nothing ($n pixels)"

# Paused: two pictures a second apart are the same.
keys space
sleep 1
keys space
sleep 0.3
shot paused1
sleep 1
shot paused2
n=$(differing "$work/paused1.png" "$work/paused2.png")
echo "paused: $n pixels differ"
[ "$n" -le 10 ] || fail "the paused world moved ($n pixels)"

# Back to the start pose, paused, for the picking below.
keys r space
sleep 1

# B: the bodies' boxes (green awake, red asleep, grey static).
area="500x300+400+300"
read -r r0 g0 b0 <<<"$(count_primaries "$work/reset2.png" "$area")"
keys b
sleep 0.5
shot boxes
read -r r1 g1 b1 <<<"$(count_primaries "$work/boxes.png" "$area")"
echo "boxes: red $r0 -> $r1, green $g0 -> $g1"
[ $((r1 + g1)) -ge $((r0 + g0 + 100)) ] || fail "no box lines after B"
keys b
sleep 0.5

# F1, click on the pyramid's top cube: its box and the gizmo's red, green and
# blue handles appear around it.
read -r cx cy <<<"$(project -6 7.75 -6)"
keys F1
sleep 0.3
shot before_select
xdotool mousemove --window "$wid" "$cx" "$cy" click 1
sleep 0.7
shot selected
box="160x160+$((cx - 80))+$((cy - 80))"
read -r r0 g0 b0 <<<"$(count_primaries "$work/before_select.png" "$box")"
read -r r1 g1 b1 <<<"$(count_primaries "$work/selected.png" "$box")"
echo "gizmo: red $r0 -> $r1, green $g0 -> $g1, blue $b0 -> $b1"
[ "$r1" -ge $((r0 + 15)) ] && [ "$g1" -ge $((g0 + 15)) ] && [ "$b1" -ge $((b0 + 15)) ] ||
  fail "no gizmo around the selected cube"
keys F1
sleep 0.5

# F12: a new PNG equal to what the window shows.
keys F12
sleep 1
shot presented
grep -q "^Screenshot saved: terrain-0000.png$" "$work/out" || fail "no 'Screenshot saved' line"
[ -f terrain-0000.png ] || fail "terrain-0000.png missing"
n=$(differing terrain-0000.png "$work/presented.png")
echo "F12: $n pixels differ from the window"
[ "$n" -le 10 ] || fail "the saved PNG differs from the window ($n pixels)"

keys Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TERRAIN_PID" 2>/dev/null && fail "Esc did not end the program"
wait "$TERRAIN_PID"
status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
if grep -q "Validation Error" "$work/err" "$work/out"; then fail "validation errors"; fi
echo "ok"
