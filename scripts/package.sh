#!/usr/bin/env bash
# Builds the Debian packages: a Release build of the programs alone into build-release, then
# cpack. Prints the packages' paths last (vorel-speech, then vorel-widgets). Extra arguments go
# to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DVOREL_WERROR=ON "$@" >&2
cmake --build build-release -j "$(nproc)" >&2
rm -f build-release/vorel-*.deb
(cd build-release && cpack -G DEB) >&2
ls "$PWD"/build-release/vorel-speech_*.deb "$PWD"/build-release/vorel-widgets_*.deb
