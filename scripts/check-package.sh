#!/usr/bin/env bash
# Builds the Debian package, installs it with apt as a user would, and transcribes the bundled
# sample with the installed client; then removes the package again. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(scripts/package.sh | tail -1)
echo "== $deb"
dpkg-deb --info "$deb" | sed -n '/Depends/p;/Recommends/p'
dpkg-deb --contents "$deb" | awk '{print $6}'
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$deb" >/dev/null
trap 'apt-get remove -y vorel-speech >/dev/null' EXIT
home=$(mktemp -d)
sample="$PWD/samples/journal-note.flac"
client() { (cd / && HOME="$home" XDG_DATA_HOME="$home/data" vorel-speech-client "$@"); }
check_transcript() {
  echo "the installed vorel-speech-client transcribed: $1"
  case "$1" in
    *river*) ;;
    *) echo "FAILED: the installed client did not transcribe the sample"; exit 1 ;;
  esac
}
check_transcript "$(client transcribe --format txt "$sample")"
# The writer's words: learnt by the installed model checker, listed, and used by a transcription.
printf 'Walked along the Dodder to Rathmines with Siobhan.\nTomorrow I will call my sister.\n' \
  > "$home/journal.txt"
client learn "$home/journal.txt"
listed=$(client learn --list)
echo "$listed"
case "$listed" in
  *"new to the recogniser"*rathmines*) ;;
  *) echo "FAILED: the installed client did not learn the text"; exit 1 ;;
esac
check_transcript "$(client transcribe --format txt "$sample")"
rm -rf "$home"
[ -f /usr/share/man/man1/vorel-speech-client.1.gz ] || { echo "FAILED: no man page"; exit 1; }
[ -f /usr/share/bash-completion/completions/vorel-speech-client ] || { echo "FAILED: no completion"; exit 1; }
[ -x /usr/bin/vorel-widget-host ] || { echo "FAILED: no widget host"; exit 1; }
echo "the package installs, and its client, man page and completion work"
