# Shared by run.sh and test.sh.

# configure_build DIR [cmake args...]: configures once, reconfigures when args change.
configure_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || { echo "configure of $dir failed" >&2; return 1; }
}

# start_display: gives the tests an X display; starts Xvfb when none is there.
# Xvfb picks a free display number itself (-displayfd), so that several test
# runs on one machine never end up sharing, and then losing, one server.
XVFB_PID=""
start_display() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local numfile n i
  numfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  for i in $(seq 1 100); do
    n=$(head -n1 "$numfile" 2>/dev/null)
    if [ -n "$n" ] && DISPLAY=":$n" xdpyinfo >/dev/null 2>&1; then
      export DISPLAY=":$n"
      trap stop_display EXIT
      rm -f "$numfile"
      return 0
    fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$numfile"
  kill "$XVFB_PID" 2>/dev/null
  XVFB_PID=""
  echo "could not start Xvfb" >&2
  return 1
}

stop_display() {
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  XVFB_PID=""
}
