#!/usr/bin/env bash
# The administrative commands' console lines as a person sees them. Wine
# gives a program a real console when it runs on a terminal, so the program
# runs under a pseudo-terminal (`script`), in a console whose output code
# page is 437 (the default of most Windows consoles): the em dash of the
# "not registered" line must reach the terminal as an em dash, not as the
# "ΓÇö" that its UTF-8 bytes read as in code page 437. Redirected to a file,
# the same line must stay the exact UTF-8 bytes that scripts read.
#
#   console_code_page_test.sh SERVICE_EXE
set -euo pipefail

service_exe=$1
export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree=;mshtml='
export WINEPREFIX="${BV_WINE_PREFIX:?the Wine prefix of the test run}"
# The terminal's encoding, into which Wine turns what the console shows.
export LANG=C.UTF-8

expected="Service 'BrisvanderEnclaveSvc' not registered — nothing to uninstall."
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Whatever an earlier test left registered goes first, so that both runs
# below print the "not registered" line.
wine "$service_exe" --uninstall >"$work/first" 2>&1 || true

# Redirected: the bytes unchanged (the file holds exactly the line).
wine "$service_exe" --uninstall >"$work/redirected" 2>"$work/redirected-errors"
if [ "$(cat "$work/redirected")" != "$expected" ] || [ "$(wc -c <"$work/redirected")" -ne $((${#expected} + 3)) ]; then
  # ${#expected} counts characters; the em dash is 3 bytes, 2 more than one,
  # and the line feed is the last one.
  fail "redirected output differs: $(od -c "$work/redirected" | head -5)"
fi

# On a console with code page 437.
printf '@chcp 437 >nul\r\n@"%s" --uninstall\r\n' "$(winepath -w "$service_exe")" >"$work/run.cmd"
script -qec "wine cmd /c '$(winepath -w "$work/run.cmd")'" /dev/null >"$work/console" </dev/null || true
if ! grep -qF -- "$expected" "$work/console"; then
  fail "the console did not show the line: $(od -c "$work/console" | head -12)"
fi
if grep -qF -- "ΓÇö" "$work/console"; then
  fail "the console showed the UTF-8 bytes in code page 437"
fi

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "console (code page 437) and redirected output both show: $expected"
