#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs the helper on its bundled default.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then scripts/setup.sh; else sudo scripts/setup.sh; fi
scripts/build.sh
echo '$ printf '"'"'{"op":"platform"}\n'"'"' | build/vorel-speech'
printf '{"op":"platform"}\n' | build/vorel-speech
