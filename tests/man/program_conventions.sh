#!/usr/bin/env bash
# A program follows the conventions of a Debian command-line tool, and its man page
# documents exactly the options it has:
#   program_conventions.sh PROGRAM MAN_PAGE VERSION
# - PROGRAM --help: exit 0, nothing on standard error, "usage: NAME" first on standard
#   output, and the options it names (long and short) are those of the man page's
#   synopsis; -h prints the same;
# - PROGRAM --version: exactly "NAME VERSION" on standard output, exit 0; -V the same;
# - a standard output that cannot be written (--help >/dev/full): exit 1 and
#   "NAME: reason" on standard error;
# - an unknown option: exit 2, nothing on standard output, "NAME: reason" and the usage
#   line on standard error;
# - the man page: the options of its OPTIONS section are those of its synopsis, its
#   title line carries VERSION, and man formats it without a warning.
set -uo pipefail
program=$1
page=$2
version=$3
name=$(basename "$program")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $name: $*"
  failures=$((failures + 1))
}

# The distinct long options in standard input, one a line, sorted.
options_in() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
# The distinct short options in standard input, one a line, sorted: "-d" written as an
# option in a help line ("  -d, --dir=DIR") or a man page ("[ -d | --dir", "-d, --dir").
short_options_in() { grep -oE -- '(^  |\[ |^)-[a-zA-Z]( \||,)' | grep -oE -- '-[a-zA-Z]' | sort -u; }
# The lines of a man page section, from ".SH NAME" to the next ".SH", with roff's
# escaped hyphens made plain.
man_section() { sed -n "/^\.SH $1\$/,/^\.SH /p" "$page" | sed '$d' | sed 's/\\-/-/g'; }

# ---- --help ----
"$program" --help >"$scratch/out" 2>"$scratch/err"
rc=$?
[ "$rc" -eq 0 ] || fail "--help exits $rc"
[ -s "$scratch/err" ] && fail "--help writes to standard error: $(head -1 "$scratch/err")"
head -1 "$scratch/out" | grep -q "^usage: $name " || fail "--help does not start with 'usage: $name'"
synopsis=$(man_section SYNOPSIS | options_in)
helped=$(options_in <"$scratch/out")
[ "$helped" = "$synopsis" ] ||
  fail "--help and the man page's synopsis differ: $(diff <(echo "$helped") <(echo "$synopsis") | grep '^[<>]' | tr '\n' ' ')"
short_synopsis=$(man_section SYNOPSIS | short_options_in)
short_helped=$(short_options_in <"$scratch/out")
[ "$short_helped" = "$short_synopsis" ] ||
  fail "the short options of --help and the man page's synopsis differ: '$short_helped' and '$short_synopsis'"
"$program" -h >"$scratch/short" 2>&1
cmp -s "$scratch/out" "$scratch/short" || fail "-h does not print the help of --help"

# ---- standard output that cannot be written ----
if [ -w /dev/full ]; then
  "$program" --help >/dev/full 2>"$scratch/err"
  rc=$?
  [ "$rc" -eq 1 ] || fail "--help >/dev/full exits $rc, not 1"
  grep -q "^$name: ." "$scratch/err" || fail "--help >/dev/full says nothing on standard error"
fi

# ---- --version ----
"$program" --version >"$scratch/out" 2>"$scratch/err"
rc=$?
[ "$rc" -eq 0 ] || fail "--version exits $rc"
[ "$(cat "$scratch/out")" = "$name $version" ] || fail "--version prints '$(cat "$scratch/out")', not '$name $version'"
[ "$("$program" -V 2>&1)" = "$name $version" ] || fail "-V does not print '$name $version'"

# ---- an argument error ----
"$program" --no-such-option >"$scratch/out" 2>"$scratch/err"
rc=$?
[ "$rc" -eq 2 ] || fail "an unknown option exits $rc, not 2"
[ -s "$scratch/out" ] && fail "an unknown option writes to standard output"
head -1 "$scratch/err" | grep -q "^$name: ." || fail "the error does not start with '$name: ': $(head -1 "$scratch/err")"
grep -q "^usage: $name " "$scratch/err" || fail "the error is not followed by the usage line"

# ---- the man page ----
described=$(man_section OPTIONS | grep -A1 '^\.TP' | options_in)
[ "$described" = "$synopsis" ] ||
  fail "the man page's OPTIONS and SYNOPSIS differ: $(diff <(echo "$described") <(echo "$synopsis") | grep '^[<>]' | tr '\n' ' ')"
# The option lines of OPTIONS, with roff's fonts taken out: "-d, --dir=DIR".
short_described=$(man_section OPTIONS | grep -A1 '^\.TP' | sed -E 's/\\f[BIRP]//g; s/^\.BR? //; s/ ", " /, /' |
  short_options_in)
[ "$short_described" = "$short_synopsis" ] ||
  fail "the short options of the man page's OPTIONS and SYNOPSIS differ: '$short_described' and '$short_synopsis'"
grep -q "^\.TH .*\"Albrivo $version\"" "$page" || fail "the man page's title line does not carry Albrivo $version"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
  grep -q "^\.SH $section\$" "$page" || fail "the man page has no $section section"
done
if command -v man >/dev/null; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns: $warnings"
fi

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "PASS: $name: --help, --version, short forms, output errors, argument errors and the man page agree"
