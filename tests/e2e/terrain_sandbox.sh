#!/usr/bin/env bash
# The sandbox driven by keys, the mouse and its buttons: a reset while paused
# replays the same picture, a paused world stands still, B draws the bodies'
# boxes, F1 and a click select a body (gizmo, "Entity Info"), a mouse blast
# throws the pyramid, shows its marker and plays the explosion (recorded through
# SDL's disk driver), "Add Player" splits the screen, F12 saves the picture.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"; rm -f "$BUILD_DIR"/terrain-[0-9][0-9][0-9][0-9].png; }
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
coloured() {
  convert "$1" -crop "$2" +repage -depth 8 txt:- |
    awk -F'[(),]+' 'NR > 1 { r = $3; g = $4; b = $5; mx = r; mn = r; if (g > mx) mx = g; if (b > mx) mx = b;
      if (g < mn) mn = g; if (b < mn) mn = b; if (mx - mn > 40) n++ } END { print n + 0 }'
}
shot() { local t0=$(date +%s.%N); capture_window "$work/$1.png" || fail "screenshot $1"; [ -n "${TIMING:-}" ] && echo "shot $1: $(awk -v a=$t0 -v b=$(date +%s.%N) "BEGIN{print b-a}") s"; }
# click X Y: the pointer rests there a moment first, so the interface has seen
# it hover before the press.
click() { xdotool mousemove --window "$wid" "$1" "$2"; sleep 0.2; xdotool click --window "$wid" 1; }
keys() { xdotool key --window "$wid" --delay 0 "$@"; }

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain SDL_AUDIODRIVER=disk \
  SDL_DISKAUDIOFILE="$work/sound.raw" SDL_DISKAUDIOFILEIN="$work/no-microphone.raw"
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"
sleep 2

# Reset and pause in one go, again after a run: the same picture. The two keys
# may reach the program in different frames, letting a few steps run in between,
# so up to four resets are taken and two of them must agree.
keys r space
sleep 1
shot reset0
keys space
sleep 1.5
shot running
n=$(differing "$work/reset0.png" "$work/running.png")
echo "running: $n pixels differ from the reset"
[ "$n" -ge 1000 ] || fail "running the physics changed too little ($n pixels)"
same=""
for i in 1 2 3; do
  keys space
  sleep 0.5
  keys r space
  sleep 1
  shot "reset$i"
  for j in $(seq 0 $((i - 1))); do
    n=$(differing "$work/reset$j.png" "$work/reset$i.png")
    echo "resets $j and $i: $n pixels differ"
    [ "$n" -le 40 ] && same=1 && break
  done
  [ -n "$same" ] && break
done
[ -n "$same" ] || fail "no two resets gave the same picture"

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
read -r r0 g0 b0 <<<"$(count_primaries "$work/reset0.png" "$area")"
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
click "$cx" "$cy"
sleep 0.7
shot selected
box="160x160+$((cx - 80))+$((cy - 80))"
read -r r0 g0 b0 <<<"$(count_primaries "$work/before_select.png" "$box")"
read -r r1 g1 b1 <<<"$(count_primaries "$work/selected.png" "$box")"
echo "gizmo: red $r0 -> $r1, green $g0 -> $g1, blue $b0 -> $b1"
[ "$r1" -ge $((r0 + 15)) ] && [ "$g1" -ge $((g0 + 15)) ] && [ "$b1" -ge $((b0 + 15)) ] ||
  fail "no gizmo around the selected cube"
# "Entity Info" opens at the top right, where the sky was.
[ "$(pixel "$work/before_select.png" 1000 150)" = "51 51 51" ] || fail "sky expected left of the Players window"
[ "$(pixel "$work/selected.png" 1000 150)" != "51 51 51" ] || fail "no Entity Info window"
keys F1
sleep 0.5

# Mouse Blast (the Physics header's button), then a click on the pyramid: the
# marker (orange wire sphere) shows at once, running throws the bodies.
click 76 125
sleep 0.3
shot preblast
click "$cx" "$cy"
sleep 0.5
shot blast
orange() {
  convert "$1" -crop "$2" +repage -depth 8 txt:- |
    awk -F'[(),]+' 'NR > 1 { if ($3 > 200 && $4 > 100 && $4 < 170 && $5 < 80) n++ } END { print n + 0 }'
}
area="400x300+$((cx - 200))+$((cy - 150))"
m0=$(orange "$work/preblast.png" "$area"); m1=$(orange "$work/blast.png" "$area")
echo "blast marker: $m0 -> $m1 orange pixels"
[ "$m1" -ge $((m0 + 40)) ] || fail "no blast marker"
keys space
sleep 1
shot thrown
n=$(differing "$work/preblast.png" "$work/thrown.png")
echo "blast: $n pixels changed"
[ "$n" -ge 500 ] || fail "the blast threw nothing ($n pixels)"
click 76 125

# Spawn CesiumMan (physics paused): the character stands 20 units ahead of the
# camera, just above the middle of the view, and walks (two pictures half a
# second apart differ there).
centre="80x90+600+280"
keys space
sleep 0.3
shot no_character
click 76 148
sleep 1
shot character1
sleep 0.5
shot character2
a=$(coloured "$work/no_character.png" "$centre"); b=$(coloured "$work/character1.png" "$centre")
convert "$work/character1.png" -crop "$centre" +repage "$work/c1.png"
convert "$work/character2.png" -crop "$centre" +repage "$work/c2.png"
n=$(compare -metric AE -fuzz 4% "$work/c1.png" "$work/c2.png" null: 2>&1 | awk '{ print int($1) }')
echo "character: coloured pixels $a -> $b, $n pixels changed in 0.5 s"
[ "$b" -ge $((a + 150)) ] || fail "no character in the middle of the view"
[ "$n" -ge 20 ] || fail "the character does not move ($n pixels)"
keys r space
sleep 1

# F12: a new PNG equal to what the window shows.
keys F12
sleep 1
shot presented
grep -q "^Screenshot saved: terrain-0000.png$" "$work/out" || fail "no 'Screenshot saved' line"
[ -f terrain-0000.png ] || fail "terrain-0000.png missing"
n=$(differing terrain-0000.png "$work/presented.png")
echo "F12: $n pixels differ from the window"
[ "$n" -le 10 ] || fail "the saved PNG differs from the window ($n pixels)"

# Add Player: two views, the pyramid in each half.
shot one_view
click 1112 56
sleep 1
shot two_views
for x in 290 880; do
  box="120x90+$((x - 60))+395"
  a=$(coloured "$work/one_view.png" "$box"); b=$(coloured "$work/two_views.png" "$box")
  echo "views: coloured pixels around x $x: $a -> $b"
  [ "$b" -ge $((a + 80)) ] || fail "no pyramid around x $x after Add Player"
done

keys Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TERRAIN_PID" 2>/dev/null && fail "Esc did not end the program"
wait "$TERRAIN_PID"
status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
if grep -q "Validation Error" "$work/err" "$work/out"; then fail "validation errors"; fi

# The blast's sound in what was played.
match=$(SDL_AUDIODRIVER=dummy tools/soundmatch asset/explosion.ogg "$work/sound.raw") || fail "soundmatch failed"
echo "sound: $match"
awk -v m="${match#ncc }" 'BEGIN { exit !(m + 0 >= 0.9) }' || fail "the explosion is not in the sound ($match)"
echo "ok"
