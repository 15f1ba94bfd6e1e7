#!/usr/bin/env bash
# The manual pages kept in packaging/man against what the programs say of
# themselves: every option of --help is in the page and every option of the
# page is in --help; every exit code of --help is in the page's EXIT STATUS;
# and the page renders without a warning.
#   man-pages-test.sh MAN_DIR PROGRAM...
set -euo pipefail
man_dir=$1
shift
fail() { echo "FAIL: $*" >&2; exit 1; }
for program in "$@"; do
  name=$(basename "$program")
  page="$man_dir/$name.1"
  [ -f "$page" ] || fail "no manual page for $name"
  # No display, no platform: --help must not need one.
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help)
  text=$(sed 's/\\-/-/g' "$page")
  help_options=$(grep -oE '(^|[ [])--?[a-z][a-z-]*' <<< "$help" | grep -oE -- '--?[a-z][a-z-]*' | sort -u)
  page_options=$(grep -oE -- '--[a-z][a-z-]*|(^|[ ])-[hv]\b' <<< "$text" | grep -oE -- '--?[a-z][a-z-]*' | sort -u)
  for option in $help_options; do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<< "$text" || fail "$name: $option of --help is not in $page"
  done
  for option in $page_options; do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<< "$help" || fail "$name: $option of $page is not in --help"
  done
  codes=$(sed -n '/^Exit codes:/,$p' <<< "$help" | grep -oE '^  [0-9]+|[0-9]+ stopped by' | grep -oE '[0-9]+' || true)
  for code in $codes; do
    sed -n '/^\.SH EXIT STATUS/,/^\.SH [^E]/p' "$page" | grep -cx "\.B $code" >/dev/null \
      || fail "$name: exit code $code of --help is not in the EXIT STATUS of $page"
  done
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l -Tutf8 "$page" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "$name: $page renders with warnings: $warnings"
  echo "$name: $(wc -w <<< "$help_options") options, $(wc -w <<< "$codes") exit codes, as in --help"
done
