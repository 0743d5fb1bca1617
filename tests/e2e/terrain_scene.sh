#!/usr/bin/env bash
# The demo scene on screen, in both lighting modes: grey sky, the floor lit by
# ambient plus diffuse light, shadows on it that get the ambient term only, and
# the bodies in their own colours.
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

# Floor albedo (80, 80, 90); light 0.7 at cos = 1 / |(0.5, 1, 0.3)| on the floor,
# ambient 0.3.
lit=$(awk 'BEGIN { f = 0.3 + 0.7 / sqrt(0.25 + 1 + 0.09); printf "%d %d %d", 80 * f + 0.5, 80 * f + 0.5, 90 * f + 0.5 }')
shade="24 24 27"

# Pixels around the pyramid, hammer and fallen bodies (the middle of the view).
count_pixels() {  # FILE AWK-CONDITION-ON-r,g,b
  convert "$1" -crop 200x130+540+380 +repage -depth 8 txt:- |
    awk -v cond="$2" -F'[(),]+' 'NR > 1 { r = $3; g = $4; b = $5;
      if (cond == "shade" && r >= 22 && r <= 26 && g >= 22 && g <= 26 && b >= 25 && b <= 29) n++;
      if (cond == "colour") { mx = r; mn = r; if (g > mx) mx = g; if (b > mx) mx = b; if (g < mn) mn = g; if (b < mn) mn = b;
        if (mx - mn > 40) n++ } }
      END { print n + 0 }'
}

check_scene() {  # MODE
  local shot="$work/$1.png"
  capture_window "$shot" || fail "$1: screenshot failed"
  # Sky, away from where the debug windows will sit.
  for p in "640 150" "300 50" "1000 100" "800 250" "200 260"; do
    c=$(pixel "$shot" $p)
    [ "$c" = "51 51 51" ] || fail "$1: sky pixel ($p) is $c, not grey 51"
  done
  for p in "640 650" "150 650" "1100 600"; do
    c=$(pixel "$shot" $p)
    near "$c" $lit 2 || fail "$1: floor pixel ($p) is $c, not lit floor $lit"
  done
  shaded=$(count_pixels "$shot" shade)
  coloured=$(count_pixels "$shot" colour)
  echo "$1: $shaded floor pixels in shadow ($shade), $coloured coloured body pixels"
  [ "$shaded" -ge 20 ] || fail "$1: no ambient-only shadow on the floor beside the bodies"
  [ "$coloured" -ge 150 ] || fail "$1: the bodies' colours are missing"
}

sleep 4
check_scene "shadow maps"
if grep -q "Ray-query lighting: available" "$work/err" "$work/out"; then
  xdotool key --window "$wid" F2
  sleep 2
  check_scene "ray query"
else
  echo "ray query unsupported here: shadow maps only"
fi

xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TERRAIN_PID" 2>/dev/null && fail "Esc did not end the program"
wait "$TERRAIN_PID"
status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
if grep -q "Validation Error" "$work/err" "$work/out"; then fail "validation errors"; fi
echo "ok"
