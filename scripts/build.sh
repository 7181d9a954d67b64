#!/usr/bin/env bash
# Configures and builds into build/ (the helper lands at build/vorel-speech), with warnings as
# errors. Extra arguments go to CMake's configure step, e.g. -DVOREL_SANITIZE=thread -B build-tsan.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -B) build_dir="$2"; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOREL_WERROR=ON "${args[@]}"
cmake --build "$build_dir" -j "$(nproc)"
