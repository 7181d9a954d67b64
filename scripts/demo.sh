#!/usr/bin/env bash
# Sets up a fresh machine, builds, and transcribes the bundled sample: text out of audio in one
# command, through the client and the helper.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then scripts/setup.sh; else sudo scripts/setup.sh; fi
scripts/build.sh
sample=${1:-samples/journal-note.flac}
echo "\$ build/vorel-speech-client transcribe $sample"
build/vorel-speech-client transcribe "$sample"
