#!/usr/bin/env bash
# The default character on screen: it walks in front of the start camera in its
# generated texture (red shirt, blue trousers), its legs move between frames, a
# scene reset takes it away and the spawn key brings one back.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stderr"; cat "$work/err"; exit 1; }

[ -f asset/CesiumMan.gltf ] || fail "the build did not write asset/CesiumMan.gltf"
TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"

# The character stands 20 m ahead of the camera: its feet at the middle of the
# view, its body above. Shirt and trousers pixels in that box.
count() {  # FILE KIND
  convert "$1" -crop 90x110+595+265 +repage -depth 8 txt:- |
    awk -v kind="$2" -F'[(),]+' 'NR > 1 { r = $3; g = $4; b = $5;
      if (kind == "shirt" && r > g + 50 && r > b + 50) n++;
      if (kind == "trousers" && b > r + 30 && b > g + 15) n++ }
      END { print n + 0 }'
}
# Pixels that differ between two shots in the leg half of the box.
legs_changed() {
  convert "$1" -crop 90x45+595+330 +repage "$work/la.png"
  convert "$2" -crop 90x45+595+330 +repage "$work/lb.png"
  compare -metric AE -fuzz 8% "$work/la.png" "$work/lb.png" null: 2>&1 | awk '{ printf "%d", $1 }'
}

sleep 4
# Physics paused: only the character moves now.
xdotool key --window "$wid" space
sleep 1
capture_window "$work/a.png" || fail "screenshot failed"
sleep 0.35
capture_window "$work/b.png" || fail "screenshot failed"
shirt=$(count "$work/a.png" shirt)
trousers=$(count "$work/a.png" trousers)
moved=$(legs_changed "$work/a.png" "$work/b.png")
echo "walking: $shirt shirt pixels, $trousers trousers pixels, $moved leg pixels changed"
[ "$shirt" -ge 60 ] || fail "no shirt where the character should stand"
[ "$trousers" -ge 30 ] || fail "no trousers where the character should stand"
[ "$moved" -ge 15 ] || fail "the legs did not move between frames"

# R rebuilds the scene without the character; F4 spawns one ahead of the camera.
# Physics is paused again after the reset, so between the last two shots only
# the new character changes the picture (bodies of any colour may pass behind).
xdotool key --window "$wid" r
sleep 1.5
xdotool key --window "$wid" space
sleep 0.5
capture_window "$work/c.png" || fail "screenshot failed"
gone=$(count "$work/c.png" trousers)
echo "after reset: $gone trousers pixels"
[ "$gone" -le $((trousers / 2)) ] || fail "the character survived the scene reset"
xdotool key --window "$wid" F4
sleep 1.5
capture_window "$work/d.png" || fail "screenshot failed"
back=$(count "$work/d.png" trousers)
echo "after spawn: $back trousers pixels"
[ $((back - gone)) -ge 25 ] || fail "the spawn key brought no character"

xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TERRAIN_PID" 2>/dev/null && fail "Esc did not end the program"
wait "$TERRAIN_PID"
status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
if grep -q "Validation Error" "$work/err" "$work/out"; then fail "validation errors"; fi
echo "ok"
