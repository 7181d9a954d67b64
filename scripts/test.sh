#!/usr/bin/env bash
# Sets up a fresh machine, builds and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then scripts/setup.sh; else sudo scripts/setup.sh; fi
scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
