#!/usr/bin/env bash
# Voice chat from the "VoIP" window between two programs: both run under one
# display in one network namespace of the test's own (only lo, multicast routed
# to it), each with SDL's disk audio playing a tone into its microphone (A 2 kHz,
# B 5 kHz). A presses Host (its id goes to the clipboard), B presses Paste and
# Join and finds A through multicast DNS. Each speaker meter then shows the
# other's tone band and not its own; when A presses Stop, B's speakers go quiet.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: network namespaces need root"
  exit 0
fi
cd "$BUILD_DIR"
work=$(mktemp -d)
ns="voipE2E$$"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
  ip netns del "$ns" 2>/dev/null
  rm -rf "/etc/netns/$ns" "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL: $*"
  for side in A B; do echo "-- $side stderr"; tail -n 20 "$work/err$side" 2>/dev/null; done
  exit 1
}

ip netns add "$ns" || fail "ip netns add"
mkdir -p "/etc/netns/$ns" && echo "nameserver 127.0.0.1" >"/etc/netns/$ns/resolv.conf"
# A LAN-like address beside 127.0.0.1: multicast announcements carry it.
ip -n "$ns" link set lo up && ip -n "$ns" link set lo multicast on &&
  ip -n "$ns" addr add 10.78.0.1/24 dev lo && ip -n "$ns" route add 224.0.0.0/4 dev lo ||
  fail "namespace set-up"

# tone HZ FILE: 80 s of 48 kHz stereo f32 at amplitude 0.3 (whole cycles per
# second, so one second repeats seamlessly).
tone() {
  perl -e 'my ($f) = @ARGV; my $o = "";
    for my $i (0 .. 47999) { my $v = 0.3 * sin(2 * 3.14159265358979 * $f * $i / 48000); $o .= pack("f<f<", $v, $v) }
    print $o' "$1" >"$work/one.raw" || return 1
  for _ in $(seq 1 80); do cat "$work/one.raw"; done >"$2"
}
tone 2000 "$work/toneA.raw" && tone 5000 "$work/toneB.raw" || fail "tone files"
# 256-point spectrum at 48 kHz: 187.5 Hz bins, band k = bins 4k+1..4k+4.
BAND_A=2  # 2000 Hz, bin 10.7
BAND_B=6  # 5000 Hz, bin 26.7

# start SIDE: the program with its own tone, no DHT bootstrap nodes, physics
# paused (two programs share two cores); sets WID_SIDE. Xvfb at times refuses
# a connection opened right after another program's: one more try then.
start() {
  local side=$1 before wid attempt
  for attempt in 1 2; do
    before=$(xdotool search --onlyvisible --name '^Terrain$' 2>/dev/null | sort)
    TERRAIN_OUT="$work/out$side" TERRAIN_ERR="$work/err$side" run_terrain --netns "$ns" \
      SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/play$side.raw" SDL_DISKAUDIOFILEIN="$work/tone$side.raw" \
      TERRAIN_DHT_BOOTSTRAP=
    PIDS+=("$TERRAIN_PID")
    wid=""
    for _ in $(seq 1 150); do
      wid=$(comm -13 <(echo "$before") <(xdotool search --onlyvisible --name '^Terrain$' 2>/dev/null | sort) | head -n1)
      [ -n "$wid" ] && break
      kill -0 "$TERRAIN_PID" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$wid" ] && break
    kill -0 "$TERRAIN_PID" 2>/dev/null && break
    echo "no window for $side on attempt $attempt: $(tail -n 1 "$work/err$side")"
    sleep 1
  done
  [ -n "$wid" ] || fail "no window for $side"
  sleep 1
  xdotool key --window "$wid" space
  eval "WID_$side=$wid"
}

# press WID X Y: the pointer rests on the control a moment, then clicks.
press() {
  xdotool mousemove --window "$1" "$2" "$3"
  sleep 0.3
  xdotool click --window "$1" 1
  sleep 0.3
}

# meters WID FILE: "mic|speaker k height" lines for the 32 bars of both meters
# of the window's VoIP panel (at 720 lines: x 5..155, y 235 down). The meter
# areas are the (20, 20, 20) rectangles; a bar is a column of bright red or
# green pixels rising from an area's bottom.
meters() {
  timeout 20 import -window "$1" -crop 160x340+0+230 +repage "$2" 2>/dev/null || return 1
  convert "$2" txt:- | awk -F'[ ,:()]+' '
    /^#/ { next }
    { x = $1; y = $2; r = $3; g = $4; b = $5;
      if (r == 20 && g == 20 && b == 20) { dark[y]++; if (!(y in minx) || x < minx[y]) minx[y] = x }
      if ((r > 150 || g > 150) && b < 80) lit[x "," y] = 1 }
    END {
      # Rows that are mostly meter background, split into two runs.
      n = 0; prev = -10
      for (y = 0; y < 340; y++) if (dark[y] > 60) {
        if (y != prev + 1) { n++; top[n] = y; left[n] = minx[y] }
        bottom[n] = y; prev = y
      }
      if (n < 2) { print "none"; exit }
      # The lowest row of each area may be all bars: take the area to end one
      # row below its last mostly dark row.
      for (m = 1; m <= 2; m++) {
        name = m == 1 ? "mic" : "speaker"
        for (k = 0; k < 32; k++) {
          x = left[m] + 4 * k + 1; h = 0
          for (y = bottom[m] + 1; y >= top[m]; y--) if ((x "," y) in lit) h++
          print name, k, h
        }
      }
    }'
}

# bar FILE METER K: one bar's height from a meters listing.
bar() { awk -v m="$2" -v k="$3" '$1 == m && $2 == k { print $3 }' "$1"; }

start A
start B
# Side by side on the 1920 x 1080 screen: B's window overlaps A's right part,
# never A's panel.
xdotool windowmove "$WID_B" 600 360
sleep 1

# A hosts: the id goes to the clipboard.
press "$WID_A" 80 286
sleep 1
# B pastes it and joins.
press "$WID_B" 134 355
press "$WID_B" 61 355

# Connected: A's speakers carry B's band. Up to 25 s for the announcement,
# the join and the first frames through the jitter buffers.
ok=""
for _ in $(seq 1 25); do
  sleep 1
  meters "$WID_A" "$work/a.png" >"$work/a.txt" || continue
  meters "$WID_B" "$work/b.png" >"$work/b.txt" || continue
  a=$(bar "$work/a.txt" speaker $BAND_B)
  b=$(bar "$work/b.txt" speaker $BAND_A)
  echo "speaker bars: A band $BAND_B ${a:-?}, B band $BAND_A ${b:-?}"
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -ge 15 ] && [ "$b" -ge 15 ] && { ok=1; break; }
done
echo "A meters:"; paste -sd' ' <(awk '{ printf "%s:%s ", substr($1, 1, 1) $2, $3 }' "$work/a.txt")
echo "B meters:"; paste -sd' ' <(awk '{ printf "%s:%s ", substr($1, 1, 1) $2, $3 }' "$work/b.txt")
[ -n "$ok" ] || fail "the speaker meters do not show the other side's tone"
# Each hears the other, not itself; each microphone shows its own tone.
[ "$(bar "$work/a.txt" speaker $BAND_A)" -le 6 ] || fail "A's speakers play A's own band"
[ "$(bar "$work/b.txt" speaker $BAND_B)" -le 6 ] || fail "B's speakers play B's own band"
[ "$(bar "$work/a.txt" mic $BAND_A)" -ge 15 ] || fail "A's microphone meter misses A's tone"
[ "$(bar "$work/b.txt" mic $BAND_B)" -ge 15 ] || fail "B's microphone meter misses B's tone"
far=$(awk '$1 == "speaker" && $2 >= 12 && $3 > 3' "$work/b.txt" | wc -l)
[ "$far" -eq 0 ] || fail "$far high bands lit in B's speakers"

# A stops (the button beside Copy, there while hosting): B's speakers go quiet.
press "$WID_A" 134 309
quiet=""
for _ in $(seq 1 10); do
  sleep 1
  meters "$WID_B" "$work/b2.png" >"$work/b2.txt" || continue
  b=$(bar "$work/b2.txt" speaker $BAND_A)
  [ -n "$b" ] && [ "$b" -le 3 ] && { quiet=1; break; }
done
[ -n "$quiet" ] || fail "B's speakers still carry A's band after Stop: $(bar "$work/b2.txt" speaker $BAND_A)"

for side in A B; do
  wid=$(eval echo "\$WID_$side")
  xdotool key --window "$wid" Escape
done
for p in "${PIDS[@]}"; do
  for _ in $(seq 1 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  wait "$p" || fail "a program exited with status $?"
done
PIDS=()
if grep -q "Validation Error" "$work/errA" "$work/errB"; then fail "validation errors"; fi
echo "PASS: hosted, pasted, joined; each speaker meter shows the other's tone; Stop silences the joiner's"
