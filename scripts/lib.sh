# Shared by run.sh and test.sh.

# configure_build DIR [cmake args...]: configures once, reconfigures when args change.
configure_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || { echo "configure of $dir failed" >&2; return 1; }
}

# start_display: gives the tests an X display; starts Xvfb when none is there.
XVFB_PID=""
start_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local n
  for n in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    local i
    for i in $(seq 1 50); do
      if DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
        export DISPLAY=":$n"
        trap stop_display EXIT
        return 0
      fi
      sleep 0.1
    done
    kill "$XVFB_PID" 2>/dev/null
  done
  echo "could not start Xvfb" >&2
  return 1
}

stop_display() {
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  XVFB_PID=""
}
