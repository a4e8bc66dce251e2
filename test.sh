#!/usr/bin/env bash
# Installs what is missing, builds everything (tests and benchmarks) and runs every test with ctest.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel "$(nproc)"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" --timeout 300
