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

# A test that reads what services print on Wine's debug channels (Wine's
# ReportEventW prints each event there) sets BV_WINE_CHANNELS to the
# channels, e.g. "err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi".
# A service's debug output goes to the standard error of the program that
# started the prefix's wineserver, and it prints the channels that program
# had in WINEDEBUG. So the prefix's processes are ended first, the program
# starts the wineserver and the services with those channels and its
# standard error in a file that BV_WINE_CHANNEL_FILE names to it, and the
# prefix's processes are ended again afterwards, so that no later program
# writes into that file. The channel lines about events follow the
# program's own error output.
if [ -n "${BV_WINE_CHANNELS:-}" ]; then
  channel_file=$(mktemp --suffix=.channel)
  trap 'rm -f "$channel_file"' EXIT
  wineserver -k 2>/dev/null || true
  # The Unix path on drive Z:, which Wine maps to the root.
  export BV_WINE_CHANNEL_FILE="Z:${channel_file//\//\\}"
  status=0
  WINEDEBUG="-all,$BV_WINE_CHANNELS" wine "$@" 2>"$channel_file" || status=$?
  wineserver -k 2>/dev/null || true
  grep -v -e ':eventlog:' -e ':advapi:' "$channel_file" >&2 || true
  grep -e ':eventlog:ReportEventW' -e ':advapi:ReportEventW' -e 'EventSource' "$channel_file" >&2 || true
  exit "$status"
fi

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
