# Sourced by the end-to-end scripts (not a test itself).
#
# run_terrain [--netns NAME] [VAR=value ...]: starts ./terrain in the background,
# in a network namespace of its own with only loopback up (or in the test's
# namespace NAME, which the test made and removes), so that nothing it might
# send can leave the machine; audio goes to SDL's dummy driver unless
# SDL_AUDIODRIVER says otherwise; UTF-8 locale. Extra VAR=value words go to its
# environment. Sets TERRAIN_PID (the program itself: unshare and the shell exec
# into it). Output goes to $TERRAIN_OUT and $TERRAIN_ERR when set, else /dev/null.
run_terrain() {
  local ns=(unshare -n) setup='ip link set lo up && '
  # Without root a user namespace gives the rights to make the network one.
  [ "$(id -u)" -eq 0 ] || ns=(unshare -rn)
  if [ "${1:-}" = "--netns" ]; then
    ns=(ip netns exec "$2")
    setup=''
    shift 2
  fi
  env SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}" LANG=C.UTF-8 "$@" \
    "${ns[@]}" sh -c "${setup}exec ./terrain" \
    >"${TERRAIN_OUT:-/dev/null}" 2>"${TERRAIN_ERR:-/dev/null}" &
  TERRAIN_PID=$!
}

# wait_terrain_window: the id of the visible "Terrain" window, or empty when the
# program ended or none appeared within 10 s.
wait_terrain_window() {
  local wid=""
  for _ in $(seq 1 100); do
    wid=$(xdotool search --onlyvisible --name '^Terrain$' 2>/dev/null | head -n1)
    [ -n "$wid" ] && break
    kill -0 "$TERRAIN_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "$wid"
}

# main_thread_ticks: CPU clock ticks (user + system) of the program's main thread
# alone: the physics thread and the driver's threads are not the frame loop.
main_thread_ticks() { awk '{print $14 + $15}' "/proc/$TERRAIN_PID/task/$TERRAIN_PID/stat"; }

# pixel FILE X Y: "r g b" of one pixel.
pixel() {
  convert "$1" -format "%[fx:int(255*p{$2,$3}.r+0.5)] %[fx:int(255*p{$2,$3}.g+0.5)] %[fx:int(255*p{$2,$3}.b+0.5)]" info:
}

# near "r g b" R G B TOLERANCE: true when each channel is within the tolerance.
near() {
  awk -v a="$1" -v r="$2" -v g="$3" -v b="$4" -v t="$5" 'BEGIN {
    split(a, c, " "); e[1] = r; e[2] = g; e[3] = b;
    for (i = 1; i <= 3; i++) { d = c[i] - e[i]; if (d < 0) d = -d; if (d > t) exit 1 }
    exit 0 }'
}

# capture_window FILE: a screenshot of the program's window. The id is looked up
# again each time, and import gets a time limit: given a window that has gone,
# import falls back to asking for a mouse click and would wait for ever.
capture_window() {
  local wid
  wid=$(xdotool search --onlyvisible --name '^Terrain$' 2>/dev/null | head -n1)
  [ -n "$wid" ] || return 1
  timeout 20 import -window "$wid" "$1"
}
