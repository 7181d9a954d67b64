#!/usr/bin/env bash
# Writes the client's man page from its own help: the general help by help2man, and each
# command's help as a section of its own, so the page never says other than the program.
# Usage: man-page.sh CLIENT OUT.1
set -euo pipefail
client=$1
out=$2
extra=$(mktemp)
trap 'rm -f "$extra"' EXIT
{
  echo "[COMMANDS]"
  for command in platform locales status install transcribe dictate learn forget; do
    echo ".SS $command"
    echo ".nf"
    # Lines starting with a dot or a quote would be read as requests.
    "$client" help "$command" | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
    echo ".fi"
  done
  cat <<'TEXT'
[EXIT STATUS]
.TP
0
the command did what was asked
.TP
1
it failed (the reason is on standard error, or in the helper's lines with \-\-json)
.TP
2
the command line was wrong
.TP
130
stopped by Ctrl\-C (for dictate: after the last segments arrived, or a second Ctrl\-C)
[FILES]
.TP
$XDG_DATA_HOME/vorel\-speech/
installed speech models and your own text (~/.local/share by default)
TEXT
} > "$extra"
help2man --no-info --section 1 --include "$extra" \
  --name "transcribe and dictate speech on this machine" \
  --output "$out" "$client"
