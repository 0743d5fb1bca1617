#!/usr/bin/env bash
# The qel tool end to end: keys, add, list, extract, delete, verify, compact, stats,
# and its refusals (missing store, existing key, wrong key, damaged store).
set -uo pipefail
QEL="${BUILD_DIR:-build/release}/tools/qel"
[ -x "$QEL" ] || { echo "qel: $QEL not built"; exit 1; }
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
FAILS=0
check() {  # check "what" command...: the command must succeed
  local what=$1; shift
  if ! "$@" >"$W/out" 2>"$W/err"; then echo "FAIL: $what"; cat "$W/err"; FAILS=$((FAILS + 1)); fi
}
refuse() {  # refuse "what" "message part" command...: must fail, non-zero, with a message
  local what=$1 msg=$2; shift 2
  if "$@" >"$W/out" 2>"$W/err"; then echo "FAIL: $what succeeded"; FAILS=$((FAILS + 1)); return; fi
  grep -q -- "$msg" "$W/err" || { echo "FAIL: $what: message"; cat "$W/err"; FAILS=$((FAILS + 1)); }
}

head -c 300000 /dev/urandom >"$W/noise.bin"
seq 1 50000 >"$W/numbers.txt"
: >"$W/empty.bin"

refuse "list of a missing store" "no such store" "$QEL" list "$W/none.qel"
[ -e "$W/none.qel" ] && { echo "FAIL: list created a store"; FAILS=$((FAILS + 1)); }
refuse "extract from a missing store" "no such store" "$QEL" extract "$W/none.qel" x
refuse "unknown command" "unknown command" "$QEL" frobnicate
refuse "missing arguments" "wrong number" "$QEL" add "$W/s.qel"

check "add" "$QEL" add "$W/s.qel" "$W/noise.bin"
check "add named" "$QEL" add "$W/s.qel" "$W/numbers.txt" "docs/numbers"
check "add empty" "$QEL" add "$W/s.qel" "$W/empty.bin"
check "list" "$QEL" list "$W/s.qel"
grep -q "300000  *5 .* noise.bin$" "$W/out" || { echo "FAIL: list line"; cat "$W/out"; FAILS=$((FAILS + 1)); }
grep -q " docs/numbers$" "$W/out" || { echo "FAIL: list name"; FAILS=$((FAILS + 1)); }
check "extract to file" "$QEL" extract "$W/s.qel" noise.bin "$W/noise.out"
cmp -s "$W/noise.bin" "$W/noise.out" || { echo "FAIL: extracted bytes"; FAILS=$((FAILS + 1)); }
"$QEL" extract "$W/s.qel" docs/numbers >"$W/numbers.out" && cmp -s "$W/numbers.txt" "$W/numbers.out" ||
  { echo "FAIL: extract to stdout"; FAILS=$((FAILS + 1)); }
check "extract empty" "$QEL" extract "$W/s.qel" empty.bin "$W/empty.out"
[ -f "$W/empty.out" ] && [ ! -s "$W/empty.out" ] || { echo "FAIL: empty extract"; FAILS=$((FAILS + 1)); }
echo keep >"$W/keep.txt"
refuse "extract of a missing entry" "no such entry" "$QEL" extract "$W/s.qel" nothing "$W/keep.txt"
grep -q keep "$W/keep.txt" || { echo "FAIL: failed extract truncated its output"; FAILS=$((FAILS + 1)); }
check "verify" "$QEL" verify "$W/s.qel"
grep -q "verify: 11 chunks checked, 0 errors" "$W/err" || { echo "FAIL: verify report"; cat "$W/err"; FAILS=$((FAILS + 1)); }
check "stats" "$QEL" stats "$W/s.qel"
grep -q "^entries: *3$" "$W/out" || { echo "FAIL: stats"; cat "$W/out"; FAILS=$((FAILS + 1)); }
before=$(stat -c %s "$W/s.qel")
check "delete" "$QEL" delete "$W/s.qel" noise.bin
refuse "delete twice" "no entry" "$QEL" delete "$W/s.qel" noise.bin
check "compact" "$QEL" compact "$W/s.qel"
[ "$(stat -c %s "$W/s.qel")" -lt $((before - 300000)) ] || { echo "FAIL: compact did not shrink"; FAILS=$((FAILS + 1)); }
"$QEL" list "$W/s.qel" | grep -q noise.bin && { echo "FAIL: deleted entry listed"; FAILS=$((FAILS + 1)); }

# Keys and encrypted stores.
check "keygen" "$QEL" keygen "$W/me.key" "$W/me.pub"
[ "$(stat -c %a "$W/me.key")" = 600 ] && [ "$(stat -c %s "$W/me.key")" = 32 ] ||
  { echo "FAIL: key file mode or size"; FAILS=$((FAILS + 1)); }
cp "$W/me.key" "$W/me.key.orig"
refuse "keygen over an existing key" "never overwritten" "$QEL" keygen "$W/me.key" "$W/other.pub"
cmp -s "$W/me.key" "$W/me.key.orig" || { echo "FAIL: key overwritten"; FAILS=$((FAILS + 1)); }
[ -e "$W/other.pub" ] && { echo "FAIL: half a key pair written"; FAILS=$((FAILS + 1)); }
check "keygen other" "$QEL" keygen "$W/other.key" "$W/other.pub"
check "add encrypted" "$QEL" --to "$W/me.pub" add "$W/e.qel" "$W/numbers.txt"
refuse "--to on an existing store" "only applies" "$QEL" --to "$W/me.pub" add "$W/s.qel" "$W/numbers.txt" again
refuse "encrypted without key" "encrypted" "$QEL" list "$W/e.qel"
refuse "encrypted with another key" "cannot open" "$QEL" --key "$W/other.key" list "$W/e.qel"
"$QEL" --key "$W/me.key" extract "$W/e.qel" numbers.txt | cmp -s - "$W/numbers.txt" ||
  { echo "FAIL: encrypted extract"; FAILS=$((FAILS + 1)); }

refuse "--key with a missing store" "no such store" "$QEL" --key "$W/me.key" add "$W/new.qel" "$W/numbers.txt"
[ -e "$W/new.qel" ] && { echo "FAIL: --key created a store"; FAILS=$((FAILS + 1)); }

# Commands that only read never write: not an empty file, not a due compaction.
: >"$W/zero.qel"
refuse "list of an empty file" "cannot open" "$QEL" list "$W/zero.qel"
[ -s "$W/zero.qel" ] && { echo "FAIL: list wrote into an empty file"; FAILS=$((FAILS + 1)); }
for n in 1 2 3 4; do "$QEL" add "$W/c.qel" "$W/numbers.txt" "n$n" >/dev/null 2>&1; done
"$QEL" delete "$W/c.qel" n1 >/dev/null 2>&1
mkdir "$W/c.qel.compact"  # the compaction file cannot be made
check "delete with a failing compaction" "$QEL" delete "$W/c.qel" n2
grep -q "compaction, which failed" "$W/err" || { echo "FAIL: failed compaction not reported"; cat "$W/err"; FAILS=$((FAILS + 1)); }
"$QEL" list "$W/c.qel" | grep -q " n2$" && { echo "FAIL: delete lost"; FAILS=$((FAILS + 1)); }
cp "$W/c.qel" "$W/c.before"
check "list of a store due for compaction" "$QEL" list "$W/c.qel"
cmp -s "$W/c.qel" "$W/c.before" || { echo "FAIL: list changed the store"; FAILS=$((FAILS + 1)); }
refuse "compact while it cannot" "could not compact" "$QEL" compact "$W/c.qel"
cmp -s "$W/c.qel" "$W/c.before" || { echo "FAIL: a failed compaction changed the store"; FAILS=$((FAILS + 1)); }
rmdir "$W/c.qel.compact"
echo leftover >"$W/c.qel.compact"  # as a killed compaction leaves it
check "list beside a leftover compaction file" "$QEL" list "$W/c.qel"
[ -e "$W/c.qel.compact" ] || { echo "FAIL: a reader removed the compaction file"; FAILS=$((FAILS + 1)); }
check "compact retries" "$QEL" compact "$W/c.qel"
[ -e "$W/c.qel.compact" ] && { echo "FAIL: leftover compaction file kept"; FAILS=$((FAILS + 1)); }
[ "$(stat -c %s "$W/c.qel")" -lt "$(stat -c %s "$W/c.before")" ] || { echo "FAIL: compact did not shrink"; FAILS=$((FAILS + 1)); }
"$QEL" extract "$W/c.qel" n4 | cmp -s - "$W/numbers.txt" || { echo "FAIL: entry after compaction"; FAILS=$((FAILS + 1)); }

# A damaged store is reported, not trusted.
cp "$W/s.qel" "$W/bad.qel"
printf '\xff' | dd of="$W/bad.qel" bs=1 seek=400 conv=notrunc 2>/dev/null
refuse "verify of a damaged store" "damaged" "$QEL" verify "$W/bad.qel"
head -c 100 "$W/s.qel" >"$W/short.qel"
refuse "short file" "cannot open" "$QEL" list "$W/short.qel"

# world-new: a flat terrain world; refusals leave nothing behind.
check "world-new" "$QEL" world-new "$W/w.qel" 65 33 --cell 2 --tile 32 --height 100
grep -q "65 x 33 samples, 5 x 3 tiles" "$W/out" || { echo "FAIL: world-new report"; cat "$W/out"; FAILS=$((FAILS + 1)); }
"$QEL" extract "$W/w.qel" terrain/height | cmp -s - <(head -c $((65 * 33 * 2)) /dev/zero) ||
  { echo "FAIL: world-new heights"; FAILS=$((FAILS + 1)); }
"$QEL" extract "$W/w.qel" meta | head -c 4 | grep -q WRLD || { echo "FAIL: world-new meta"; FAILS=$((FAILS + 1)); }
cp "$W/w.qel" "$W/w.before"
refuse "world-new over a file" "already exists" "$QEL" world-new "$W/w.qel" 9 9
cmp -s "$W/w.qel" "$W/w.before" || { echo "FAIL: world-new changed an existing file"; FAILS=$((FAILS + 1)); }
refuse "world-new with huge tiles" "vertices" "$QEL" world-new "$W/w2.qel" 1025 1025 --tile 256
refuse "world-new with one sample" "2 samples" "$QEL" world-new "$W/w2.qel" 1 9
refuse "world-new with a bad cell" "positive number" "$QEL" world-new "$W/w2.qel" 9 9 --cell nan
refuse "world-new with a bad count" "whole numbers" "$QEL" world-new "$W/w2.qel" 9x 9
[ -e "$W/w2.qel" ] && { echo "FAIL: a refused world-new left a file"; FAILS=$((FAILS + 1)); }

[ "$FAILS" -eq 0 ] && echo "qel: all checks passed"
exit $((FAILS > 0))
