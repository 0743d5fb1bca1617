#!/usr/bin/env bash
# Two qel processes on one store with a forced overlap: the first holds the store
# open (between its open and its work) while the second runs to its end. Every
# operation must either be done or refused with an error; nothing that reported
# success may be lost, and the store must verify afterwards.
set -uo pipefail
QEL="${BUILD_DIR:-build/release}/tools/qel"
[ -x "$QEL" ] || { echo "qel_two_process: $QEL not built"; exit 1; }
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
FAILS=0
bad() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }

head -c 200000 /dev/urandom >"$W/a.bin"
seq 1 40000 >"$W/b.bin"
head -c 90000 /dev/urandom >"$W/old.bin"

# The command line of one operation on the store $S; its entry names are fixed.
op_args() {
  case $1 in
    add-a) echo add "$S" "$W/a.bin" a ;;
    add-b) echo add "$S" "$W/b.bin" b ;;
    delete) echo delete "$S" old ;;
    compact) echo compact "$S" ;;
    extract) echo extract "$S" old "$W/old.out" ;;
  esac
}

# What an operation that reported success must have left, and what a refused one
# must not have done.
check_effect() {  # op status
  local op=$1 st=$2
  case $op in
    add-a | add-b)
      local name=${op#add-} out="$W/check.out"
      if [ "$st" -eq 0 ]; then
        "$QEL" extract "$S" "$name" "$out" 2>/dev/null && cmp -s "$out" "$W/$name.bin" || bad "$op reported success but its entry is lost"
      else
        "$QEL" list "$S" 2>/dev/null | grep -q " $name\$" && bad "$op was refused but its entry is there"
      fi ;;
    delete)
      if [ "$st" -eq 0 ]; then
        "$QEL" list "$S" 2>/dev/null | grep -q " old\$" && bad "delete reported success but the entry is listed"
      else
        "$QEL" list "$S" 2>/dev/null | grep -q " old\$" || bad "delete was refused but the entry is gone"
      fi ;;
    extract)
      [ "$st" -eq 0 ] && { cmp -s "$W/old.out" "$W/old.bin" || bad "extract reported success with wrong bytes"; } ;;
  esac
}

# run_pair first second: the first is held open while the second runs.
run_pair() {
  local first=$1 second=$2 round=$3
  S="$W/s$round-$first-$second.qel"
  rm -f "$W/old.out" "$W/hold".*
  "$QEL" add "$S" "$W/old.bin" old >/dev/null 2>&1 || { bad "setting up $S"; return; }
  # shellcheck disable=SC2046
  timeout 40 "$QEL" --test-hold "$W/hold" $(op_args "$first") >/dev/null 2>"$W/first.err" &
  local pid=$!
  local waited=0
  while [ ! -e "$W/hold.held" ] && [ $waited -lt 1000 ]; do sleep 0.01; waited=$((waited + 1)); done
  if [ ! -e "$W/hold.held" ]; then
    bad "$first never opened the store"; touch "$W/hold.go"; wait $pid; return
  fi
  # shellcheck disable=SC2046
  timeout 20 "$QEL" $(op_args "$second") >/dev/null 2>"$W/second.err"
  local st2=$?
  touch "$W/hold.go"
  wait $pid
  local st1=$?
  [ $st1 -eq 0 ] || bad "$first (holding the store) failed: $(cat "$W/first.err")"
  if [ $st2 -ne 0 ]; then
    grep -q "in use by another process" "$W/second.err" || bad "$second failed without the busy error: $(cat "$W/second.err")"
  fi
  check_effect "$first" $st1
  check_effect "$second" $st2
  "$QEL" verify "$S" >/dev/null 2>"$W/verify.err" || bad "$first/$second: verify failed: $(cat "$W/verify.err")"
  [ -e "$S.compact" ] && bad "$first/$second: a compaction file was left behind"
}

for round in 1 2 3; do
  for pair in "add-a add-b" "add-a delete" "delete add-a" "add-a compact" "compact add-a" \
              "extract compact" "compact extract"; do
    # shellcheck disable=SC2086
    run_pair $pair $round
  done
done

# Readers share the store: two at once both succeed.
S="$W/readers.qel"
"$QEL" add "$S" "$W/old.bin" old >/dev/null 2>&1
rm -f "$W/hold".*
timeout 40 "$QEL" --test-hold "$W/hold" list "$S" >/dev/null 2>&1 &
pid=$!
waited=0
while [ ! -e "$W/hold.held" ] && [ $waited -lt 1000 ]; do sleep 0.01; waited=$((waited + 1)); done
timeout 20 "$QEL" extract "$S" old "$W/old.out" 2>"$W/err" || bad "a second reader was refused: $(cat "$W/err")"
touch "$W/hold.go"
wait $pid || bad "the first reader failed"

[ "$FAILS" -eq 0 ] && echo "qel_two_process: all checks passed"
exit $((FAILS > 0))
