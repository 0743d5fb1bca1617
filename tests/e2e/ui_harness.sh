#!/usr/bin/env bash
# The UI code in a small window of its own (tests/ui/ui_harness.cpp), driven
# through the real window system: a close button removes its window; typed
# "é€中" shows é and € and a '?' for the character the font lacks; a long paste
# is cut to whole characters and the program carries on.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
export LANG=C.UTF-8  # xdotool types non-ASCII text only in a UTF-8 locale
work=$(mktemp -d)
PID=""
CLIP_PID=""
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null
  [ -n "$CLIP_PID" ] && kill "$CLIP_PID" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }

unshare -n true 2>/dev/null && ns=(unshare -n) || ns=(unshare -rn)
"${ns[@]}" sh -c 'ip link set lo up && exec ./tests/ui/ui_harness' >"$work/out" 2>"$work/err" &
PID=$!
wid=""
for _ in $(seq 1 100); do
  wid=$(xdotool search --onlyvisible --name '^UI Harness$' 2>/dev/null | head -n1)
  [ -n "$wid" ] && break
  kill -0 "$PID" 2>/dev/null || break
  sleep 0.1
done
[ -n "$wid" ] || fail "no UI Harness window"
sleep 1
shot() { timeout 20 import -window "$wid" "$1"; }
read -r _ bx by bw bh < <(grep '^textbox ' "$work/out")
read -r _ lx ly lw lh < <(grep '^label ' "$work/out")
[ -n "${bh:-}" ] && [ -n "${lh:-}" ] || fail "no cell rectangles printed"

# wait_for PATTERN: the harness printed a line matching it within 10 s.
wait_for() {
  for _ in $(seq 1 100); do
    grep -q "$1" "$work/out" && return 0
    sleep 0.1
  done
  return 1
}

# click X Y: the pointer rests first (hover is known one frame later).
click() {
  xdotool mousemove --window "$wid" "$1" "$2"
  sleep 0.6
  xdotool mousedown 1
  sleep 0.4
  xdotool mouseup 1
  sleep 0.4
}

# The close button: the last 32 pixels of the 32-pixel title bar of (20, 20, 200, 100).
shot "$work/before.png" || fail "screenshot failed"
near "$(pixel "$work/before.png" 100 100)" 44 44 44 2 || fail "the closable window is not drawn"
click 204 36
wait_for '^closed$' || fail "the close button did not close its window"
shot "$work/after.png" || fail "screenshot failed"
near "$(pixel "$work/after.png" 100 100)" 44 44 44 2 && fail "the closed window is still drawn"

# Typing into the text box.
click $((bx + 20)) $((by + bh / 2))
wait_for '^typing$' || fail "the text box did not take the focus"
xdotool type --delay 150 "é€中"
wait_for '^text 8 bytes, well-formed: c3 a9 e2 82 ac e4 b8 ad$' || fail "typed text not in the box"
# Return hands the focus back, the pointer leaves: the box now looks like a label.
xdotool key --window "$wid" Return
wait_for '^not typing$' || fail "Return did not end the typing"
xdotool mousemove --window "$wid" 600 380
sleep 1
shot "$work/typed.png" || fail "screenshot failed"
convert "$work/typed.png" -crop "$((bw - 2))x$((bh - 2))+$((bx + 1))+$((by + 1))" +repage "$work/box.png"
convert "$work/typed.png" -crop "$((lw - 2))x$((lh - 2))+$((lx + 1))+$((ly + 1))" +repage "$work/label.png"
lit=$(convert "$work/box.png" -colorspace gray -threshold 55% -format "%[fx:int(mean*w*h+0.5)]" info:)
[ "$lit" -ge 40 ] || fail "no glyphs in the text box ($lit bright pixels)"
diff=$(compare -metric AE -fuzz 2% "$work/box.png" "$work/label.png" null: 2>&1)
[ "$diff" = "0" ] || fail "the text box does not show é, € and '?' ($diff pixels differ from the reference)"

# A paste of 6000 bytes (mixed widths) into the box: whole characters up to the
# 4 KiB the UI takes in a frame, and the program goes on.
for _ in $(seq 1 600); do printf 'a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80'; done >"$work/paste.txt"
xclip -quiet -selection clipboard -i "$work/paste.txt" >/dev/null 2>&1 &
CLIP_PID=$!
sleep 0.5
click $((bx + 20)) $((by + bh / 2))
xdotool key --window "$wid" ctrl+v
wait_for '^pasted ' || fail "the paste did not arrive"
wait_for '^text [1-9][0-9][0-9][0-9] bytes' || fail "the paste did not reach the box"
kill -0 "$PID" 2>/dev/null || fail "the program ended on the paste"
last=$(grep '^text ' "$work/out" | tail -n1)
bytes=$(echo "$last" | awk '{print $2}')
echo "$last" | grep -q 'well-formed' || fail "the box holds a cut character: $last"
[ "$bytes" -gt 4000 ] && [ "$bytes" -le 4107 ] || fail "pasted text of $bytes bytes"
shot "$work/end.png" || fail "no screenshot after the paste"

xdotool key --window "$wid" Escape
for _ in $(seq 1 50); do kill -0 "$PID" 2>/dev/null || break; sleep 0.1; done
wait "$PID"; status=$?
PID=""
[ "$status" -eq 0 ] || fail "exit status $status"
echo "PASS: close button, typed é€中, long paste"
