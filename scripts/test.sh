#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: CTest, then the end-to-end
# tests. With CI=true it also runs the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, and the
# fuzz targets for a fixed shared time. Tests labelled `slow` run in the Release
# pass only. GPU tests and program runs are checked by the Vulkan validation
# layer. Each phase's wall time is printed. The exit status is the verdict.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

bash scripts/setup.sh || { echo "test: set-up failed" >&2; exit 1; }
source scripts/lib.sh

PASSED=0
FAILED=0
STATUS=0

# run_ctest DIR [ctest args...]: runs CTest and adds its counts to the totals.
run_ctest() {
  local dir=$1; shift
  local log
  log=$(mktemp)
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [ -n "$line" ]; then
    local failed total
    failed=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/')
    PASSED=$((PASSED + total - failed))
    FAILED=$((FAILED + failed))
  elif ! grep -q "No tests were found" "$log"; then
    FAILED=$((FAILED + 1))
  fi
  [ "$rc" -eq 0 ] || STATUS=1
  rm -f "$log"
}

# phase NAME: ends the running phase (printing its wall time) and starts NAME.
PHASE=""
PHASE_START=0
PHASE_TIMES=""
phase() {
  local now=$SECONDS
  if [ -n "$PHASE" ]; then
    echo "-- $PHASE took $((now - PHASE_START)) s"
    PHASE_TIMES="$PHASE_TIMES$(printf '%6d s  %s' $((now - PHASE_START)) "$PHASE")"$'\n'
  fi
  PHASE=$1
  PHASE_START=$now
  if [ -n "$PHASE" ]; then echo "== $PHASE"; fi
}

start_display
# Every Vulkan program run here is validated; an error fails the run.
export TERRAIN_VALIDATION=1

WERROR=OFF
[ "${CI:-}" = "true" ] && WERROR=ON

phase "build (Release)"
configure_build build/release -DCMAKE_BUILD_TYPE=Release -DTERRAIN_WERROR=$WERROR || exit 1
cmake --build build/release || { echo "test: build failed" >&2; exit 1; }

phase "unit tests"
run_ctest build/release

phase "end-to-end tests"
for t in tests/e2e/*.sh; do
  [ -e "$t" ] || continue
  [ "$(basename "$t")" = lib.sh ] && continue  # helpers the scripts source
  echo "-- $t"
  if BUILD_DIR="$ROOT/build/release" bash "$t"; then
    PASSED=$((PASSED + 1))
  else
    echo "e2e FAILED: $t"
    FAILED=$((FAILED + 1)); STATUS=1
  fi
done

if [ "${CI:-}" = "true" ]; then
  phase "unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
  if configure_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERRAIN_SANITIZE=address \
       -DTERRAIN_BUILD_BENCH=OFF -DTERRAIN_WERROR=ON && cmake --build build/asan --target unit_tests; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      LSAN_OPTIONS=suppressions="$ROOT/tests/lsan.supp" \
      run_ctest build/asan -LE "gpu|slow"
  else
    echo "test: sanitizer build failed" >&2; FAILED=$((FAILED + 1)); STATUS=1
  fi

  phase "threaded tests with ThreadSanitizer"
  if configure_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERRAIN_SANITIZE=thread \
       -DTERRAIN_BUILD_BENCH=OFF -DTERRAIN_WERROR=ON && cmake --build build/tsan --target threaded_tests; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build/tsan -L threaded -LE slow
  else
    echo "test: thread sanitizer build failed" >&2; FAILED=$((FAILED + 1)); STATUS=1
  fi

  phase "fuzz targets (a fixed total time shared by every target, on their seed corpora)"
  if configure_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
       -DCMAKE_CXX_COMPILER=clang++ -DTERRAIN_BUILD_FUZZ=ON -DTERRAIN_BUILD_TESTS=OFF \
       -DTERRAIN_BUILD_BENCH=OFF && cmake --build build/fuzz --target fuzzers; then
    targets=()
    for f in build/fuzz/tests/fuzz/fuzz_*; do [ -x "$f" ] && targets+=("$f"); done
    # More targets share the same budget, each keeping a useful minimum.
    total=${FUZZ_TOTAL_SECONDS:-240}
    each=${FUZZ_SECONDS:-$(( ${#targets[@]} > 0 ? total / ${#targets[@]} : 0 ))}
    [ "$each" -ge 15 ] || each=15
    echo "-- ${#targets[@]} targets, $each s each"
    for f in "${targets[@]}"; do
      name=$(basename "$f")
      seeds="tests/fuzz/corpus/${name#fuzz_}"
      work=$(mktemp -d)
      [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null
      if [ -x "build/fuzz/tests/fuzz/seed_${name#fuzz_}" ]; then "build/fuzz/tests/fuzz/seed_${name#fuzz_}" "$work"; fi
      echo "-- $name"
      if "$f" -max_total_time="$each" -timeout=10 -rss_limit_mb=4096 "$work" >"$work.log" 2>&1; then
        PASSED=$((PASSED + 1))
      else
        tail -n 40 "$work.log"; echo "fuzz FAILED: $name"
        FAILED=$((FAILED + 1)); STATUS=1
      fi
      rm -rf "$work" "$work.log"
    done
  else
    echo "test: fuzz build failed" >&2; FAILED=$((FAILED + 1)); STATUS=1
  fi
fi

phase ""
echo
echo "wall time per phase:"
printf '%s' "$PHASE_TIMES"
echo "total: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ] || STATUS=1
exit $STATUS
