#!/usr/bin/env bash
# Builds the Debian package: a Release build of the programs alone into build-release, then
# cpack. Prints the package's path last. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DVOREL_WERROR=ON "$@" >&2
cmake --build build-release -j "$(nproc)" >&2
rm -f build-release/vorel-speech_*.deb
(cd build-release && cpack -G DEB) >&2
ls "$PWD"/build-release/vorel-speech_*.deb
