#!/usr/bin/env bash
# cmake --install puts the client on the PATH of a prefix, and the helper, its module and model
# checker where the client finds them: the installed client transcribes a reading.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
client="$prefix/bin/vorel-speech-client"
[ -x "$client" ] || { echo "FAILED: no $client"; exit 1; }
out=$(HOME="$prefix/home" XDG_DATA_HOME="$prefix/data" "$client" platform)
[ "$out" = "Speech is available (speech services level 26.0.0)." ] || { echo "FAILED: platform said '$out'"; exit 1; }
text=$(HOME="$prefix/home" XDG_DATA_HOME="$prefix/data" "$client" transcribe --format txt \
  /usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0930.wav)
case "$text" in
  *amiable*) echo "installed client transcribed: $text" ;;
  *) echo "FAILED: the installed client transcribed '$text'"; exit 1 ;;
esac
# The installed client finds the model checker in the parts folder to learn the writer's words,
# and the installed helper uses what it learnt.
printf 'Rathmines with Siobhan and Olufemi.\nThe amiable Olufemi.\n' > "$prefix/journal.txt"
HOME="$prefix/home" XDG_DATA_HOME="$prefix/data" "$client" learn "$prefix/journal.txt"
listed=$(HOME="$prefix/home" XDG_DATA_HOME="$prefix/data" "$client" learn --list)
case "$listed" in
  *"new to the recogniser"*olufemi*) echo "installed client learnt: $listed" ;;
  *) echo "FAILED: the installed client listed '$listed'"; exit 1 ;;
esac
text=$(HOME="$prefix/home" XDG_DATA_HOME="$prefix/data" "$client" transcribe --format txt \
  /usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0930.wav)
case "$text" in
  *amiable*) echo "installed client transcribed with the text learnt: $text" ;;
  *) echo "FAILED: with the text learnt, the installed client transcribed '$text'"; exit 1 ;;
esac
