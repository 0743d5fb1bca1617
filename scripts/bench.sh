#!/usr/bin/env bash
# Builds the Release configuration and runs every benchmark (or those named).
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1
source scripts/lib.sh
configure_build build/release -DCMAKE_BUILD_TYPE=Release || exit 1
cmake --build build/release || exit 1
status=0
for b in build/release/bench/bench_*; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  if [ $# -gt 0 ] && [[ ! " $* " == *" ${name#bench_} "* ]]; then continue; fi
  echo "== $name"
  "$b" || status=1
done
exit $status
