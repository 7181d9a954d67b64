#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (60 s by default) from its
# seed corpus. A crash, hang, leak or sanitizer report fails the run and leaves the input that
# caused it in build-fuzz/findings/.
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake -S . -B build-fuzz -G Ninja -DVOREL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-16 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_WERROR=ON
cmake --build build-fuzz -j "$(nproc)"
mkdir -p build-fuzz/findings
for target in request frames wire catalog archive personal; do
  corpus="build-fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "== fuzz_$target for ${seconds} s"
  status=0
  ASAN_OPTIONS="detect_leaks=1" build-fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/ \
    "$corpus" "Fuzz/seeds/$target" >"build-fuzz/fuzz_$target.log" 2>&1 || status=$?
  grep -E '^Done|^stat::number_of_executed_units|ERROR|SUMMARY' "build-fuzz/fuzz_$target.log" || true
  if [ "$status" != 0 ]; then
    tail -n 60 "build-fuzz/fuzz_$target.log"
    echo "fuzz_$target found a fault: see build-fuzz/findings/"
    exit 1
  fi
done
