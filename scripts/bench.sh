#!/usr/bin/env bash
# Benchmarks: builds the release configurations in build directories of
# their own (build/bench-host, build/bench-windows), runs the Windows bench
# program under Wine in its own prefix (build/bench-windows/wine-prefix),
# all of whose processes share one CPU, and the host micro-benchmarks on one
# core, and prints one table. Every
# Windows row is a ratio (or a bound) measured in this run: the median of
# many repetitions with its spread (p10..p90), against a baseline measured
# in the same run. The figures are printed, never judged: this is not a
# test and fails only when something cannot be measured.
#
#   scripts/bench.sh [bv-bench.exe options]
#
# Options go to the Windows driver, for instance --requests 2000 (row 7),
# --round-trips 100 (rows 1, 2), --spawns 20 (rows 3, 5), --starts 10 (rows 4,
# 6) or --rows 1,2 (see bench/win/bv_bench.cpp). Run as root it installs
# missing packages, libbenchmark-dev among them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bv_root=$root
source "$root/scripts/lib.sh"
# Progress goes to standard error; standard output holds the table alone.
progress() { step "$@" >&2; }

progress "checking packages"
bv_install_missing_packages \
  file:/usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake:libbenchmark-dev >&2

host_build=$root/build/bench-host
windows_build=$root/build/bench-windows
mkdir -p "$root/build"
log=$root/build/bench-build.log
: >"$log"

progress "building the host micro-benchmarks (build/bench-host, Release, no sanitizers)"
if ! { cmake -S "$root" -B "$host_build" -DCMAKE_BUILD_TYPE=Release -DBV_SANITIZE=OFF -DBV_BENCH=ON &&
  cmake --build "$host_build" -j2 --target host_bench; } >>"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "bench.sh: the host build failed (build/bench-build.log)" >&2
  exit 1
fi

progress "building the Windows programs (build/bench-windows, Release)"
if ! { cmake --preset windows -B "$windows_build" -DCMAKE_BUILD_TYPE=Release &&
  cmake --build "$windows_build" -j2 --target signed-bench; } >>"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "bench.sh: the Windows build failed (build/bench-build.log)" >&2
  exit 1
fi

results=$(mktemp -d)
tail_pid=
finish() {
  if [ -n "$tail_pid" ]; then kill "$tail_pid" 2>/dev/null || true; fi
  bv_end_wine
  rm -rf "$results"
}
trap finish EXIT
trap 'exit 130' INT TERM

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
# What was built: the commit and whether src/ differed from it.
source_state="commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
if [ -n "$(git -C "$root" status --porcelain -- src 2>/dev/null)" ]; then
  source_state+=" with uncommitted changes in src/"
fi

progress "host micro-benchmarks (one thread, pinned to CPU 0)"
pin=()
if command -v taskset >/dev/null 2>&1; then pin=(taskset -c 0); fi
"${pin[@]}" "$host_build/host_bench" --benchmark_repetitions=10 --benchmark_min_time=0.2 \
  --benchmark_format=csv >"$results/host.csv" 2>"$results/host.err" || {
  cat "$results/host.err" >&2
  exit 1
}

# From here on this script, and with it every process of the prefix
# (wineserver and the service among them), runs on one CPU. Under Wine every
# pipe call is a round trip between the calling thread and wineserver. With
# two or more CPUs the kernel sometimes leaves the two on different CPUs, for
# hundreds of requests in a row, and a call then costs about twice the
# wake-ups at about twice the latency each; which process it happens to is
# chance, so the service and its baseline would be measured at different
# costs per call. On one CPU they pay the same.
wine_cpu=$(($(nproc) - 1))
wine_cpus="all CPUs (no taskset)"
if command -v taskset >/dev/null 2>&1 && taskset -cp "$wine_cpu" $$ >/dev/null; then
  wine_cpus="CPU $wine_cpu only"
fi

progress "making a fresh Wine prefix (build/bench-windows/wine-prefix)"
bv_fresh_wine_prefix "$windows_build/wine-prefix"

progress "Windows benchmarks under Wine (progress below)"
# Output into files: Wine's helper processes hold inherited pipes open.
: >"$results/windows.err"
tail -f "$results/windows.err" >&2 &
tail_pid=$!
status=0
wine "$windows_build/signed/bv-bench-companion-app.exe" run "$@" >"$results/windows.out" 2>>"$results/windows.err" ||
  status=$?
sleep 0.5
kill "$tail_pid" 2>/dev/null || true
tail_pid=
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- The table ---------------------------------------------------------------
tr -d '\r' <"$results/windows.out" >"$results/windows.txt"
{
  echo "| row | what | measured: median [p10..p90] | baseline | ratio | goal | met? |"
  echo "|---|---|---|---|---|---|---|"
  for id in 1 2 3 4 5 6 7; do
    awk -F'\t' -v id="$id" '$1 == "ROW" && $2 == id {
      printf "| %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7, $8 }' "$results/windows.txt"
  done
  # Host rows: items_per_second of the ten repetitions (not the aggregates).
  awk -F',' '
    NR > 1 {
      name = $1; gsub(/"/, "", name)
      if (name ~ /_(mean|median|stddev|cv)$/) next
      if ($9 == "true") { failed[name] = $10; next }
      if (!(name in count)) order[++names] = name
      values[name, ++count[name]] = $7
    }
    function sort(name, n,   i, j, t) {
      for (i = 1; i <= n; ++i) sorted[i] = values[name, i] + 0
      for (i = 2; i <= n; ++i) for (j = i; j > 1 && sorted[j - 1] > sorted[j]; --j) {
        t = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = t
      }
    }
    END {
      for (k = 1; k <= names; ++k) {
        name = order[k]; n = count[name]; sort(name, n)
        median = (n % 2) ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
        printf "| H%d | host: %s | %.0f req/s [%.0f..%.0f] (min..max of %d) | - | - | figure only | - |\n",
          k, name, median, sorted[1], sorted[n], n
      }
      for (name in failed) printf "| H | host: %s | not measured: %s | - | - | - | - |\n", name, failed[name]
    }' "$results/host.csv"
} >"$results/table.md"

echo
cat "$results/table.md"
echo
awk -F'\t' '$1 == "NOTE" { print "- " $2 }' "$results/windows.txt"
echo
echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1);" \
  "$(wine --version 2>/dev/null) on ${wine_cpus}; load average before ${load_before}, after ${load_after}; ${source_state}."
echo "Spread: p10..p90 of the repetitions (rows 1-6), min..max of the samples (row 7), min..max of the" \
  "ten repetitions (host rows)."

if [ "$status" != 0 ]; then
  echo "bench.sh: the Windows bench program failed (exit $status); the rows above are the ones it finished" >&2
  exit "$status"
fi
