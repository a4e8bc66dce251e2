#!/usr/bin/env bash
# Builds the libraries below the user interface and their tests with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (every finding aborts), and runs them. Any sanitizer report fails the run,
# also one from a test that still exited 0 (a child process, say): the log is searched as well.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${SANITIZE_BUILD_DIR:-build/sanitize}
jobs=${SANITIZE_JOBS:-$(nproc)}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALLOWMERE_SANITIZE=ON -DTALLOWMERE_BUILD_GUI=OFF -DTALLOWMERE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$jobs"

# ctest keeps every test's whole output here, passed or failed.
log="$build/Testing/Temporary/LastTest.log"
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
ctest --test-dir "$build" --output-on-failure --parallel "$jobs" --timeout 600 || status=1
if grep -E -q 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$log"; then
  echo "sanitizer reports in $log:"
  grep -E -A 20 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$log" | head -n 200
  status=1
fi
exit $status
