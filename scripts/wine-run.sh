#!/usr/bin/env bash
# Runs one Windows program under Wine and returns its exit code: the
# CMAKE_CROSSCOMPILING_EMULATOR of the Windows build, so `ctest` runs every
# Windows test program through here.
#
# The prefix is $WINEPREFIX when that is set (an engineer's own prefix),
# otherwise $BV_WINE_PREFIX (which CTest sets to the build's prefix),
# otherwise build/windows/wine-prefix of this checkout.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# -all keeps Wine's own messages out of the programs' output; a WINEDEBUG of
# the caller's (for a trace) is kept.
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko add-ons: a new prefix would look for them (there is no
# network), and nothing here needs them.
export WINEDLLOVERRIDES='mscoree=;mshtml='
export WINEPREFIX="${WINEPREFIX:-${BV_WINE_PREFIX:-$here/../build/windows/wine-prefix}}"

if [ -t 1 ]; then
  exec wine "$@"
fi

# Wine's helper processes (services.exe and the others that the first
# program of a session starts) inherit that program's standard output and
# error and hold them for as long as they live: a pipe to CTest would stay
# open for seconds after the program ended, and for as long as a service or
# an enclave that a test left behind runs on. So the output goes into files
# and is copied out when the program has ended; stdout and stderr each keep
# their order, but not their order relative to each other.
output=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$output" "$errors"' EXIT
status=0
wine "$@" >"$output" 2>"$errors" || status=$?
cat "$output"
cat "$errors" >&2
exit "$status"
