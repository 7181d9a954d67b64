#!/usr/bin/env bash
# Writes a program's man page from its own help: the general help by help2man, each verb's help
# (PROGRAM help VERB) as a section of its own, and the sections of an include file, so that the
# page never says other than the program.
# Usage: man-page.sh PROGRAM OUT.1 "ONE-LINE NAME" INCLUDE.h2m VERB...
set -euo pipefail
program=$1
out=$2
name=$3
include=$4
shift 4
extra=$(mktemp)
trap 'rm -f "$extra"' EXIT
{
  echo "[COMMANDS]"
  for verb in "$@"; do
    echo ".SS $verb"
    echo ".nf"
    # Lines starting with a dot or a quote would be read as requests; an ellipsis is written as
    # three dots and a dash as groff names it, so that a terminal in any locale shows them.
    "$program" help "$verb" | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" \
      -e 's/\xe2\x80\xa6/.../g' -e 's/\xe2\x80\x94/\\[em]/g'
    echo ".fi"
  done
  cat "$include"
} > "$extra"
help2man --no-info --section 1 --include "$extra" --name "$name" \
  --output "$out" "$program"
