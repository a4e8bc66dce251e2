#!/usr/bin/env bash
# Installs what is missing, builds everything (tests and benchmarks) and runs every test with ctest.
# TALLOWMERE_JOBS limits the build's and the tests' parallel jobs (default: one per core).
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh test
build=build/test
jobs=${TALLOWMERE_JOBS:-$(nproc)}
./tools/check-build-dir.sh "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$jobs"
ctest --test-dir "$build" --output-on-failure --parallel "$jobs" --timeout 300
