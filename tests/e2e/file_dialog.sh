#!/usr/bin/env bash
# "Open File..." in the World header opens the file dialog; a directory typed in
# its path box is listed; a click on a four-colour PNG selects it and shows its
# preview in the row, each quadrant in its place (upright, not mirrored);
# Cancel closes the dialog and no preview stays on the screen. Typed paths of a
# broken model and of a real one: a message, and a model loaded.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stderr"; cat "$work/err"; exit 1; }

# The listed tree: a directory, then the image (directories sort first).
mkdir -p "$work/pics/sub"
convert -size 32x32 xc:'#ff0000' -size 32x32 xc:'#00ff00' +append \
  \( -size 32x32 xc:'#0000ff' -size 32x32 xc:'#ffff00' +append \) -append "$work/pics/quad.png" ||
  fail "could not make the image"

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"
sleep 2
xdotool key --window "$wid" space  # physics paused: a still scene

# click X Y: point, let the UI see the pointer (it learns hover a frame late), press.
click() {
  xdotool mousemove --window "$wid" "$1" "$2"
  sleep 0.7
  xdotool click 1
  sleep 0.7
}

# At 720 lines the UI scale is 0.5. Collapsing "Physics" (its header at y 24..45)
# brings "World" up to 47..68, with "Open File..." as its first row at 70..91.
click 60 34
click 75 80
# The dialog: 400 x 400 at (100, 100), title 16 high; the path box on the tool
# row (y 119..134) from x 155. Clear what it holds, type the directory, Return.
click 300 126
cwd=$(pwd)
xdotool key --delay 40 --repeat $(( ${#cwd} + 8 )) BackSpace
sleep 0.7
xdotool type --delay 30 "$work/pics"
sleep 0.7
xdotool key Return
sleep 1
# Rows of 15 pixels, 2 apart, from y 162: "[..]", "[sub]", "quad.png".
click 200 203
sleep 2  # the preview loads off the main thread
capture_window "$work/open.png" || fail "screenshot failed"

# The selected row grows to 44 pixels (196..240); the preview fills its top 65%
# (y 200..228) across the row (x 110 to about 486).
is() { near "$(pixel "$work/open.png" "$1" "$2")" "$3" "$4" "$5" 40; }
is 160 205 255 0 0 || fail "top left is not red: $(pixel "$work/open.png" 160 205)"
is 430 205 0 255 0 || fail "top right is not green: $(pixel "$work/open.png" 430 205)"
is 160 224 0 0 255 || fail "bottom left is not blue: $(pixel "$work/open.png" 160 224)"
is 430 224 255 255 0 || fail "bottom right is not yellow: $(pixel "$work/open.png" 430 224)"

# Cancel (footer, x 433..491, y 470..491): the dialog and its preview are gone.
click 460 480
sleep 1
capture_window "$work/closed.png" || fail "screenshot failed"
for p in "160 205" "430 205" "160 224" "430 224" "300 215"; do
  c=$(pixel "$work/closed.png" $p)
  for colour in "255 0 0" "0 255 0" "0 0 255" "255 255 0"; do
    near "$c" $colour 60 && fail "a preview colour stayed at $p after Cancel: $c"
  done
done
# Where the footer was, the dialog's colours are gone too (the scene is darker or sky).
near "$(pixel "$work/closed.png" 300 480)" 44 44 44 1 && fail "the dialog is still drawn after Cancel"

# type_path PATH: into the dialog's path box (cleared first), then Return.
type_path() {
  click 300 126
  xdotool key --delay 40 --repeat 80 BackSpace
  sleep 0.7
  xdotool type --delay 30 "$1"
  sleep 0.7
  xdotool key Return
  sleep 2
}
# A model that does not load says so; the dialog has closed either way.
printf 'not a model' >"$work/pics/bad.glb"
click 75 80
type_path "$work/pics/bad.glb"
grep -q "^Failed to load model: $work/pics/bad.glb\$" "$work/err" || fail "no message for a model that does not load"
# The default character's file loads and is placed ahead of the camera, with
# the GPU work checked by the validation layer.
click 75 80
type_path "$BUILD_DIR/asset/CesiumMan.gltf"
[ "$(grep -c '^Failed to load model' "$work/err")" -eq 1 ] || fail "the character's model did not load"
capture_window "$work/model.png" || fail "screenshot failed"
near "$(pixel "$work/model.png" 300 480)" 44 44 44 1 && fail "the dialog stayed open after a model was chosen"

kill -0 "$TERRAIN_PID" 2>/dev/null || fail "the program ended"
xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
wait "$TERRAIN_PID"; status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q "validation" "$work/err" && fail "validation messages"
echo "PASS: file dialog lists a typed directory, previews an image upright, leaves nothing after Cancel, loads typed models"
