#!/usr/bin/env bash
# Runs every test: the plain build (unit and end-to-end), the unit suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded suites under ThreadSanitizer.
set -uo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
JOBS=$(nproc)
status=0
passed=0
failed=0

run_ctest() {
  local dir=$1; shift
  local log
  log=$(mktemp)
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local total fails
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n1)
  fails=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n1)
  total=${total:-0}; fails=${fails:-0}
  passed=$((passed + total - fails)); failed=$((failed + fails))
  rm -f "$log"
  [ "$rc" -eq 0 ] || status=1
}

echo "== plain build: all suites"
run_ctest "$BUILD"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit suites"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_SANITIZE=address,undefined >/dev/null \
  && cmake --build build-asan || status=1
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
[ -d build-asan ] && run_ctest build-asan -L unit

echo "== ThreadSanitizer: threaded suites"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_SANITIZE=thread >/dev/null \
  && cmake --build build-tsan || status=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
[ -d build-tsan ] && run_ctest build-tsan -L threaded

echo "total: $passed passed, $failed failed"
exit $status
