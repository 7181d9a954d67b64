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
text=$(cd / && HOME="$home" XDG_DATA_HOME="$home/data" vorel-speech-client transcribe --format txt \
  "$OLDPWD/samples/journal-note.flac")
rm -rf "$home"
echo "the installed vorel-speech-client transcribed: $text"
case "$text" in
  *river*) ;;
  *) echo "FAILED: the installed client did not transcribe the sample"; exit 1 ;;
esac
[ -f /usr/share/man/man1/vorel-speech-client.1.gz ] || { echo "FAILED: no man page"; exit 1; }
[ -f /usr/share/bash-completion/completions/vorel-speech-client ] || { echo "FAILED: no completion"; exit 1; }
[ -x /usr/bin/vorel-widget-host ] || { echo "FAILED: no widget host"; exit 1; }
echo "the package installs, and its client, man page and completion work"
