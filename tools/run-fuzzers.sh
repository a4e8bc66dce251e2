#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for FUZZ_SECONDS (default 20), all in
# parallel, starting from the committed seed corpus. A crash, leak, timeout (over 2 s for one input) or
# out-of-memory (over 512 MB) fails the run. New inputs go to a scratch corpus, never into the repo.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTALLOWMERE_FUZZ=ON -DTALLOWMERE_BUILD_GUI=OFF -DTALLOWMERE_BUILD_TESTS=OFF -DTALLOWMERE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target $(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')

scratch=$(mktemp -d)
artifacts="$build/artifacts"
rm -rf "$artifacts"
trap 'rm -rf "$scratch"' EXIT
pids=()
names=()
for source in fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  name=${name#fuzz_}
  mkdir -p "$scratch/$name/corpus" "$artifacts/$name"
  seeds="fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds=""
  ASAN_OPTIONS=detect_leaks=1 QT_QPA_PLATFORM=offscreen \
    "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=2 -rss_limit_mb=512 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name/" "$scratch/$name/corpus" $seeds \
    >"$scratch/$name/log" 2>&1 &
  pids+=($!)
  names+=("$name")
done

failed=0
for i in "${!pids[@]}"; do
  name=${names[$i]}
  if wait "${pids[$i]}"; then
    runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$name/log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz $name: passed, $runs executions in ${seconds}s"
  else
    failed=1
    echo "fuzz $name: FAILED"
    tail -n 60 "$scratch/$name/log"
    for artifact in "$artifacts/$name/"*; do
      [ -f "$artifact" ] && echo "  input: $(basename "$artifact") $(head -c 256 "$artifact" | base64 -w0)"
    done
  fi
done
exit $failed
