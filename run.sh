#!/usr/bin/env bash
# Installs what is missing, builds Release and starts Tallowmere.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLOWMERE_BUILD_TESTS=OFF -DTALLOWMERE_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --parallel "$(nproc)" --target tallowmere
exec ./build/release/src/app/tallowmere "$@"
