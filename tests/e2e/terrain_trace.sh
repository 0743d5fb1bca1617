#!/usr/bin/env bash
# The profiler's "Trace" window: "Show trace" in the Debug header opens it,
# "Save" writes flamegraph.txt and flamegraph.folded, and the "main" and "world"
# threads' bars are found on screen by their colours, computed from labels
# that the saved stacks show only in that thread.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() {
  # Wait for it to end: a window still closing would be found by the next test.
  [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null && wait "$TERRAIN_PID" 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
  [ -n "${KEEP_WORK:-}" ] || rm -f "$BUILD_DIR/flamegraph.txt" "$BUILD_DIR/flamegraph.folded"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }
rm -f flamegraph.txt flamegraph.folded

click() { xdotool mousemove --window "$wid" "$1" "$2"; sleep 0.3; xdotool click --window "$wid" 1; sleep 0.3; }
shot() { capture_window "$work/$1.png" || fail "screenshot $1"; }
# wait_pixel NAME X Y R G B TOL SECONDS: screenshots until that pixel has that colour.
wait_pixel() {
  local end=$((SECONDS + $8))
  while [ $SECONDS -lt $end ]; do
    shot "$1"
    near "$(pixel "$work/$1.png" "$2" "$3")" "$4" "$5" "$6" "$7" && return 0
    sleep 0.5
  done
  return 1
}

# graphColor(label, depth) as the program computes it: FNV-1a of the bytes,
# exclusive-or depth times 0x9e3779b9, 90 plus 0..95 per channel.
graph_color() {
  local LC_ALL=C
  local s=$1 h=2166136261 i c
  for ((i = 0; i < ${#s}; i++)); do
    printf -v c '%d' "'${s:i:1}"
    h=$(( ((h ^ (c & 255)) * 16777619) & 0xFFFFFFFF ))
  done
  h=$(( (h ^ (($2 * 0x9e3779b9) & 0xFFFFFFFF)) & 0xFFFFFFFF ))
  echo "$((90 + (h & 95))) $((90 + ((h >> 8) & 95))) $((90 + ((h >> 16) & 95)))"
}

# own_label THREAD: "depth<TAB>label" of the frame (depth 1 to 4) with the most
# hits in THREAD's stacks whose label at that depth no other thread has.
own_label() {
  awk -v T="$1" '{
      match($0, / [0-9]+$/); stack = substr($0, 1, RSTART - 1); cnt = substr($0, RSTART + 1) + 0
      k = split(stack, f, ";"); th = f[1]
      for (d = 1; d < k && d <= 4; d++) {
        key = d "\t" f[d + 1]; hits[th SUBSEP key] += cnt
        if (index(owners[key], "|" th "|") == 0) owners[key] = owners[key] "|" th "|"
      }
    }
    END {
      best = 0
      for (x in hits) {
        split(x, p, SUBSEP)
        if (p[1] == T && owners[p[2]] == "|" T "|" && hits[x] > best) { best = hits[x]; out = p[2] }
      }
      if (best > 0) print out
    }' flamegraph.folded
}

# count_colour FILE CROP R G B: pixels within 2 of that colour.
count_colour() {
  convert "$1" -crop "$2" +repage -depth 8 txt:- |
    awk -F'[(),]+' -v R="$3" -v G="$4" -v B="$5" 'function d(a, b) { return a > b ? a - b : b - a }
      NR > 1 && d($3, R) <= 2 && d($4, G) <= 2 && d($5, B) <= 2 { n++ } END { print n + 0 }'
}

TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"
# At 1280x720 the interface scale is 0.5: the "Terrain" window's headers are
# 23 pixels apart from y 33. Its title bar is drawn once the frames run.
wait_pixel start 20 12 44 44 44 6 60 || fail "no frame drawn within 60 s"
shot before
# Nothing of the trace is shown before it is asked for.
[ "$(count_colour "$work/before.png" 260x310+1015+5 18 18 22)" -lt 100 ] || fail "a Trace window before Show trace"

# Collapse "Physics" and "World"; open "Debug"; "Show trace" is its fifth row.
click 75 33
click 75 56
click 75 79
click 75 194
# The window's first panel area is filled with (18, 18, 22).
wait_pixel trace 1140 130 18 18 22 3 30 || fail "no Trace window after Show trace"
# Taller, so that every thread's panel is in view: drag its resize corner down.
xdotool mousemove --window "$wid" 1270 310; sleep 0.3
xdotool mousedown --window "$wid" 1; sleep 0.3
xdotool mousemove --window "$wid" 1270 500; sleep 0.3
xdotool mousemove --window "$wid" 1270 712; sleep 0.3
xdotool mouseup --window "$wid" 1; sleep 0.5
sleep 2
click 1080 33  # "Save"
for _ in $(seq 1 40); do
  [ -s flamegraph.txt ] && [ -s flamegraph.folded ] && break
  sleep 0.25
done
[ -s flamegraph.txt ] || fail "Save wrote no flamegraph.txt"
[ -s flamegraph.folded ] || fail "Save wrote no flamegraph.folded"
xdotool mousemove --window "$wid" 640 600
sleep 1
shot saved

grep -qx '# thread: main' flamegraph.txt || fail "flamegraph.txt has no main thread"
grep -qx '# thread: world' flamegraph.txt || fail "flamegraph.txt has no world thread"
# The collapsed stacks keep the grammar flame-graph tools read.
bad=$(LC_ALL=C grep -cvE '^[^;[:cntrl:]]+(;[^;[:cntrl:]]+)* [1-9][0-9]*$' flamegraph.folded)
[ "$bad" -eq 0 ] || fail "$bad malformed lines in flamegraph.folded"

for t in main world; do
  grep -q "^$t;" flamegraph.folded || fail "no $t stacks in flamegraph.folded"
  own=$(own_label "$t")
  [ -n "$own" ] || fail "no frame only the $t thread has"
  depth=${own%%$'\t'*}
  label=${own#*$'\t'}
  colour=$(graph_color "$label" "$depth")
  n=$(count_colour "$work/saved.png" 260x710+1015+5 $colour)
  echo "$t: '$label' at depth $depth, colour $colour: $n pixels"
  [ "$n" -ge 20 ] || fail "the $t thread's bar '$label' ($colour) is not in the Trace window"
done

# Quits cleanly with the sampler running.
xdotool key --window "$wid" Escape
for _ in $(seq 1 100); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$TERRAIN_PID" 2>/dev/null && fail "Esc did not end the program"
wait "$TERRAIN_PID"; status=$?
TERRAIN_PID=""
[ "$status" -eq 0 ] || fail "exit status $status after Esc"
exit 0
