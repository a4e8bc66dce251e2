#!/usr/bin/env bash
# Installs what building and running need, builds Release and starts Tallowmere.
# TALLOWMERE_JOBS limits the build's parallel jobs (default: one per core).
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh run
build=build/release
./tools/check-build-dir.sh "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLOWMERE_BUILD_TESTS=OFF -DTALLOWMERE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "${TALLOWMERE_JOBS:-$(nproc)}" --target tallowmere
exec "./$build/src/app/tallowmere" "$@"
