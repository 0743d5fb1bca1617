#!/usr/bin/env bash
# The program shows its "Terrain" debug window over the scene: title text and the
# window colour on its rectangle. Dragged by the title bar it moves; dragged by
# its bottom-right corner it grows; both read back from the screen.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stderr"; cat "$work/err"; exit 1; }

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"
sleep 2
xdotool key --window "$wid" space  # physics paused: a still scene

# At 720 lines the UI scale is 0.5: the window sits at (5, 5), 150 x 225, with a
# 16-pixel title bar. Window colour 44, the sky around it 51.
window_colour() { near "$(pixel "$1" "$2" "$3")" 44 44 44 2; }
sky() { near "$(pixel "$1" "$2" "$3")" 51 51 51 2; }
# bright FILE X Y W H: pixels of text (grey 195 glyphs) in the rectangle.
bright() {
  convert "$1" -crop "$4x$5+$2+$3" +repage -colorspace gray -threshold 55% -format "%[fx:int(mean*w*h+0.5)]" info:
}

capture_window "$work/a.png" || fail "screenshot failed"
window_colour "$work/a.png" 80 200 || fail "no window colour inside the window: $(pixel "$work/a.png" 80 200)"
window_colour "$work/a.png" 150 225 || fail "no window colour near the bottom-right corner"
sky "$work/a.png" 160 100 || fail "the window reaches past x 155: $(pixel "$work/a.png" 160 100)"
sky "$work/a.png" 80 232 || fail "the window reaches past y 230"
title=$(bright "$work/a.png" 7 5 60 16)
[ "$title" -ge 15 ] || fail "no title text (bright pixels: $title)"
stats=$(bright "$work/a.png" 7 40 120 40)
[ "$stats" -ge 15 ] || fail "no Stats text (bright pixels: $stats)"

# drag X0 Y0 X1 Y1: press, move in steps (the UI moves by each frame's delta), release.
drag() {
  xdotool mousemove --window "$wid" "$1" "$2"
  sleep 1  # hover is known one frame later
  xdotool mousedown 1
  sleep 0.5
  for i in 1 2 3 4 5 6 7 8; do
    xdotool mousemove --window "$wid" $(( $1 + ($3 - $1) * i / 8 )) $(( $2 + ($4 - $2) * i / 8 ))
    sleep 0.2
  done
  sleep 0.5
  xdotool mouseup 1
  sleep 1
}

# Everything probed stays in the sky above the scene (y below 255).
# Move by (600, 0) by the title bar.
drag 100 12 700 12
capture_window "$work/b.png" || fail "screenshot failed"
window_colour "$work/b.png" 680 200 || fail "the window did not move to (605, 5): $(pixel "$work/b.png" 680 200)"
window_colour "$work/b.png" 750 225 || fail "the moved window lost its size"
sky "$work/b.png" 80 200 || fail "the old place still shows the window: $(pixel "$work/b.png" 80 200)"
sky "$work/b.png" 760 100 || fail "the moved window reaches past x 755"
[ "$(bright "$work/b.png" 607 5 60 16)" -ge 15 ] || fail "no title text at the new place"

# Grow by (100, 20) from the bottom-right corner (the resize square is 16 pixels).
drag 748 222 848 242
capture_window "$work/c.png" || fail "screenshot failed"
window_colour "$work/c.png" 850 245 || fail "the window did not grow to 250 x 245: $(pixel "$work/c.png" 850 245)"
sky "$work/c.png" 860 100 || fail "the grown window reaches past x 855"
sky "$work/c.png" 800 252 || fail "the grown window reaches past y 250"

kill -0 "$TERRAIN_PID" 2>/dev/null || fail "the program ended"
xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
wait "$TERRAIN_PID"; status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status"
echo "PASS: Terrain window shown, moved and resized"
