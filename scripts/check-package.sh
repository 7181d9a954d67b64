#!/usr/bin/env bash
# Builds the Debian packages, checks them with lintian, installs them with apt as a user would,
# and transcribes the bundled sample with the installed client; then removes them again. Run as
# root.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=$(scripts/package.sh | tail -2)
speech=$(echo "$debs" | head -1)
widgets=$(echo "$debs" | tail -1)
for deb in $speech $widgets; do
  echo "== $deb"
  dpkg-deb --info "$deb" | sed -n '/Depends/p;/Recommends/p'
  dpkg-deb --contents "$deb" | awk '{print $6}'
done
# The command-line tools need nothing of the desktop's.
if dpkg-deb --field "$speech" Depends | grep -Eq 'libgtk|libcairo|libpango|librsvg'; then
  echo "FAILED: vorel-speech depends on the desktop's libraries"; exit 1
fi
echo "== lintian"
lintian --fail-on error "$speech" "$widgets" || {
  echo "FAILED: lintian found errors"; exit 1; }
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "$speech" >/dev/null
trap 'apt-get remove -y vorel-speech vorel-widgets >/dev/null' EXIT
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
[ ! -e /usr/bin/vorel-widget-host ] || { echo "FAILED: the widget host came without its package"; exit 1; }
if LC_ALL=C man -P cat vorel-speech-client 2>/dev/null | grep -q '???'; then
  echo "FAILED: the man page shows characters it cannot"; exit 1
fi
apt-get install -y "$widgets" >/dev/null
[ -x /usr/bin/vorel-widget-host ] || { echo "FAILED: no widget host"; exit 1; }
[ -f /usr/share/man/man1/vorel-widget-host.1.gz ] || { echo "FAILED: no widget host man page"; exit 1; }
vorel-widget-host gallery | grep -q VorelCapture || { echo "FAILED: the widget host has no gallery"; exit 1; }
echo "the packages install, and their programs, man pages and completion work"
