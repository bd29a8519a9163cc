#!/usr/bin/env bash
# albrivo-cli's bash completion, sourced into this shell and asked as bash would ask it
# (COMP_WORDS, COMP_CWORD, then the completion function):
#   bash_completion.sh PROGRAM COMPLETION_FILE
# Option names come from PROGRAM --help, values of --dir are folders, of --input-file
# files, of --jobs 1 to 16, also in the "--dir=" form.
set -uo pipefail
program=$1
# shellcheck source=/dev/null
source "$2"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/albums" "$scratch/another"
touch "$scratch/albums.txt"
failures=0

# complete EXPECTED WORD...: the last word is the one being completed.
complete_words() {
  local expected=$1
  shift
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _albrivo_cli "$program" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got
  got=
  [ "${#COMPREPLY[@]}" -eq 0 ] || got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: completing '$*': '$got', not '$expected'"
    failures=$((failures + 1))
  fi
}

complete_words "--dir= " --di
complete_words "--music " --mu
complete_words "--no-check-certificate --no-report " --no
complete_words "--ca-certificate= " --ca
complete_words "--help " "http://h/a.html" --he
complete_words "--input-file= " --in
complete_words "$scratch/albums $scratch/another " --dir "$scratch/a"
complete_words "$scratch/albums $scratch/another " -d "$scratch/a"
complete_words "$scratch/albums $scratch/another " --dir = "$scratch/a"
complete_words "$scratch/albums $scratch/albums.txt $scratch/another " -i "$scratch/a"
complete_words "1 10 11 12 13 14 15 16 " --jobs 1
complete_words "1 10 11 12 13 14 15 16 " --jobs = 1
complete_words "" --timeout ""
complete_words "" http://h/a.html
# Every long option of the help is offered.
complete_words "$("$program" --help | grep -oE -- '^ {2,}(-[a-zA-Z], )?--[a-z-]+=?' | grep -oE -- '--[a-z-]+=?' | sort | tr '\n' ' ')" --

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "PASS: the bash completion of $(basename "$program")"
