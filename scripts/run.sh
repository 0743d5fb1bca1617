#!/usr/bin/env bash
# Installs what is missing, builds the Release configuration and starts the sandbox.
# With no display it runs inside Xvfb, saves a screenshot and prints its path.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
bash scripts/setup.sh || { echo "run: set-up failed" >&2; exit 1; }
source scripts/lib.sh
configure_build build/release -DCMAKE_BUILD_TYPE=Release || exit 1
# Only the program: tests and benchmarks are built by scripts/test.sh and bench.sh.
cmake --build build/release --target terrain || { echo "run: build failed" >&2; exit 1; }
cd build/release

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  ./terrain
  status=$?
  echo "run: terrain exited with status $status"
  exit $status
fi

# No display: run in a virtual one for a while and keep a picture of it.
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "run: there is no display (DISPLAY is unset or unreachable) and Xvfb is not installed;" \
       "run from a desktop session or install Xvfb (scripts/setup.sh does)" >&2
  exit 1
fi
start_display || { echo "run: there is no display and Xvfb could not start one" >&2; exit 1; }
SECONDS_TO_RUN=${RUN_SECONDS:-6}
shot="$ROOT/build/release/screenshot.png"
# As in the tests: a network namespace of its own with only loopback up, audio
# to SDL's dummy driver unless asked otherwise.
ns=-n
[ "$(id -u)" -eq 0 ] || ns=-rn
SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}" LANG=C.UTF-8 unshare $ns sh -c 'ip link set lo up && exec ./terrain' &
pid=$!
wid=""
for _ in $(seq 1 100); do
  wid=$(xdotool search --onlyvisible --name '^Terrain$' 2>/dev/null | head -n1)
  [ -n "$wid" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$wid" ]; then
  wait "$pid"
  status=$?
  echo "run: the program did not open its window (exit status $status)" >&2
  exit 1
fi
sleep "$SECONDS_TO_RUN"
import -window "$wid" "$shot" || { echo "run: screenshot failed" >&2; kill "$pid"; exit 1; }
# Esc asks the program to quit; a stuck one is stopped.
xdotool key --window "$wid" Escape 2>/dev/null
for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
stopped=""
kill -0 "$pid" 2>/dev/null && { stopped=" (did not quit on Esc: stopped)"; kill "$pid" 2>/dev/null; }
wait "$pid" 2>/dev/null
status=$?
echo "run: terrain exited with status $status$stopped"
echo "$shot"
