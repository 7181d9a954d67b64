#!/usr/bin/env bash
# Sets up a fresh machine, builds, and transcribes the bundled sample through the helper.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then scripts/setup.sh; else sudo scripts/setup.sh; fi
scripts/build.sh
sample=${1:-samples/journal-note.flac}
request=$(printf '{"op":"transcribe","locale":"en-US","path":"%s"}' "$sample")
echo "\$ echo '$request' | build/vorel-speech"
echo "$request" | build/vorel-speech
