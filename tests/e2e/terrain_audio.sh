#!/usr/bin/env bash
# Sound reaches the device: with SDL's disk driver, 3 s of running leave about
# 3 s of 48 kHz stereo float samples, all finite and within [-1, 1], and Esc
# still exits 0. Without an audio driver, or without the blast sound's file,
# the program runs silent and exits 0 as well.
set -uo pipefail
: "${BUILD_DIR:?}" "${DISPLAY:?}"
source "$(dirname "$0")/lib.sh"
cd "$BUILD_DIR"
work=$(mktemp -d)
TERRAIN_PID=""
cleanup() { [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stdout"; cat "$work/out"; echo "-- stderr"; cat "$work/err"; exit 1; }

# quit_ok WID: Esc ends the program with status 0 within 10 s.
quit_ok() {
  xdotool key --window "$1" Escape
  for _ in $(seq 1 100); do kill -0 "$TERRAIN_PID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$TERRAIN_PID" 2>/dev/null && fail "still running 10 s after Esc"
  wait "$TERRAIN_PID"
  local status=$?
  TERRAIN_PID=""
  [ "$status" -eq 0 ] || fail "exit status $status after Esc"
}

# start VAR=value...: the program with a window, in WID. Xvfb at times refuses a
# connection opened right after another program closed its own: a program that
# ended without a window gets one more try.
start() {
  local attempt
  for attempt in 1 2; do
    : >"$work/out"; : >"$work/err"
    TERRAIN_OUT="$work/out" TERRAIN_ERR="$work/err" run_terrain "$@"
    WID=$(wait_terrain_window)
    [ -n "$WID" ] && return 0
    kill -0 "$TERRAIN_PID" 2>/dev/null && return 1
    echo "no window on attempt $attempt: $(tail -n 2 "$work/err" | tr '\n' ' ')"
    TERRAIN_PID=""
    sleep 1
  done
  return 1
}

# The disk driver: playback into a file, capture from a file that is not there
# (so capture is off and playback must carry on alone).
start SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$work/sound.raw" SDL_DISKAUDIOFILEIN="$work/no-microphone.raw" ||
  fail "no window titled Terrain"
wid=$WID
sleep 1
[ -s "$work/sound.raw" ] || fail "nothing was played into the disk driver's file"
b0=$(stat -c %s "$work/sound.raw"); t0=$(date +%s.%N)
sleep 3
b1=$(stat -c %s "$work/sound.raw"); t1=$(date +%s.%N)
seconds=$(awk -v b0="$b0" -v b1="$b1" -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.2f", (b1 - b0) / (48000 * 2 * 4) / (t1 - t0) * 3 }')
echo "audio: ${seconds} s of 48 kHz stereo per 3 s of running"
awk -v s="$seconds" 'BEGIN { exit !(s >= 2.4 && s <= 3.6) }' || fail "$seconds s of sound in 3 s"
quit_ok "$wid"
bad=$(od -An -v -f "$work/sound.raw" | awk '{ for (i = 1; i <= NF; i++) { n++; v = $i;
  if (v ~ /nan|inf/ || v + 0 > 1 || v + 0 < -1) bad++ } } END { print bad + 0, n + 0 }')
echo "audio: samples out of range or not finite, of all: $bad"
[ "${bad%% *}" = 0 ] || fail "$bad samples not finite or outside [-1, 1]"

# No such driver: no sound, same program.
start SDL_AUDIODRIVER=no-such-driver || fail "no window without an audio driver"
wid=$WID
sleep 1
quit_ok "$wid"

# No blast sound on disk: the rest of the build folder, without asset/explosion.ogg.
run_dir="$work/run"
mkdir -p "$run_dir/asset"
for f in "$BUILD_DIR"/*; do
  [ "$(basename "$f")" = asset ] || ln -s "$f" "$run_dir/$(basename "$f")"
done
for f in "$BUILD_DIR"/asset/*; do
  [ "$(basename "$f")" = explosion.ogg ] || ln -s "$f" "$run_dir/asset/$(basename "$f")"
done
cd "$run_dir"
start || fail "no window without the blast sound's file"
wid=$WID
sleep 1
quit_ok "$wid"
echo "PASS"
