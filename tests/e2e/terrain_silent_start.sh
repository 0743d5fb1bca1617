#!/usr/bin/env bash
# The program sends nothing on its own: started in a network namespace whose only
# way out is a default route through a veth pair into a second namespace (both
# the test's own, IPv6 off so the kernel itself stays quiet), it runs for 5 s
# with discovery's sockets open and the veth end's transmit counter stays 0.
set -uo pipefail
: "${BUILD_DIR:?}"
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/scripts/lib.sh"
source "$ROOT/tests/e2e/lib.sh"
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: network namespaces need root"
  exit 0
fi
start_display || { echo "FAIL: no display"; exit 1; }
cd "$BUILD_DIR"
work=$(mktemp -d)
a="silentA$$"
b="silentB$$"
TERRAIN_PID=""
cleanup() {
  [ -n "$TERRAIN_PID" ] && kill "$TERRAIN_PID" 2>/dev/null && wait "$TERRAIN_PID" 2>/dev/null
  ip netns del "$a" 2>/dev/null
  ip netns del "$b" 2>/dev/null
  rm -rf "/etc/netns/$a" "/etc/netns/$b" "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- stderr"; cat "$work/err" 2>/dev/null; exit 1; }

for ns in "$a" "$b"; do
  ip netns add "$ns" || fail "ip netns add $ns"
  mkdir -p "/etc/netns/$ns" && echo "nameserver 127.0.0.1" >"/etc/netns/$ns/resolv.conf"
  ip netns exec "$ns" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  ip -n "$ns" link set lo up
done
ip link add v0 netns "$a" type veth peer name v1 netns "$b" || fail "veth pair"
ip -n "$a" addr add 10.9.0.2/24 dev v0 && ip -n "$a" link set v0 up || fail "address in $a"
ip -n "$b" addr add 10.9.0.1/24 dev v1 && ip -n "$b" link set v1 up || fail "address in $b"
ip -n "$a" route add default via 10.9.0.1 || fail "default route"
tx() { ip netns exec "$a" cat /sys/class/net/v0/statistics/tx_packets 2>/dev/null || echo "?"; }
sleep 0.5
before=$(tx)
[ "$before" = "0" ] || fail "the veth end sent $before packets before the program started"

env SDL_AUDIODRIVER=dummy LANG=C.UTF-8 ip netns exec "$a" ./terrain >"$work/out" 2>"$work/err" &
TERRAIN_PID=$!
wid=$(wait_terrain_window)
[ -n "$wid" ] || fail "no window titled Terrain"
sleep 5
kill -0 "$TERRAIN_PID" 2>/dev/null || fail "the program ended early"
sockets=$(ip netns exec "$a" ss -uanH 2>/dev/null | wc -l)
after=$(tx)
echo "UDP sockets open in the program's namespace: $sockets; packets out of the veth: $after"
[ "$sockets" -ge 2 ] || fail "discovery's sockets are not open ($sockets UDP sockets)"
[ "$after" = "0" ] || fail "the program sent $after packets before anyone hosted or joined"
echo "PASS"
