#!/usr/bin/env bash
# The availability probe: how long the signed reference client waits for
# the service while refused callers connect over and over and stay silent
# (bench/win/availability_probe.cpp). Builds what it needs in the Windows
# build (build/windows), runs the probe under Wine in a fresh prefix of its
# own (build/windows/probe-prefix) and prints its figures, with the
# machine's load before and after. It prints figures and judges nothing.
#
#   scripts/availability-probe.sh [probe options]
#
# Options go to the probe: --silent N (silent clients, 2), --seconds S (60),
# --asks A (5).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bv_root=$root
source "$root/scripts/lib.sh"
progress() { step "$@" >&2; }

progress "checking packages"
bv_install_missing_packages >&2

build=$root/build/windows
mkdir -p "$root/build"
log=$root/build/availability-probe-build.log
progress "building the probe and the programs it starts (build/windows)"
if ! { cmake --preset windows && cmake --build --preset windows --target bv-availability-probe; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "availability-probe.sh: the build failed (build/availability-probe-build.log)" >&2
  exit 1
fi

results=$(mktemp -d)
finish() {
  bv_end_wine
  rm -rf "$results"
}
trap finish EXIT
trap 'exit 130' INT TERM

progress "making a fresh Wine prefix (build/windows/probe-prefix)"
bv_fresh_wine_prefix "$build/probe-prefix"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
source_state="commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
if [ -n "$(git -C "$root" status --porcelain -- src 2>/dev/null)" ]; then
  source_state+=" with uncommitted changes in src/"
fi

progress "running the probe under Wine"
status=0
# Output into files: Wine's helper processes hold inherited pipes open.
wine "$build/bv-availability-probe.exe" "$@" >"$results/out" 2>"$results/err" || status=$?
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo
tr -d '\r' <"$results/out"
echo
echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1);" \
  "$(wine --version 2>/dev/null); load average before ${load_before}, after ${load_after}; ${source_state}."
if [ "$status" != 0 ]; then
  tr -d '\r' <"$results/err" >&2
  echo "availability-probe.sh: the probe failed (exit $status)" >&2
  exit "$status"
fi
