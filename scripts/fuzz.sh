#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang 16 with ASan and UBSan)
# and runs each of them for a while, then prints what every run did.
#
#   scripts/fuzz.sh [options] [seconds] [target...]
#     seconds      time per target, 60 when not given
#     target...    only these targets (names of fuzz/corpus/*), all by default
#     --smoke      3 seconds per target on its committed seeds only (for CI);
#                  nothing is kept
#     --jobs N     run N targets at the same time (default 1)
#
# A long run starts from a copy of the committed seeds, fuzz/corpus/<target>,
# which stay untouched: the copy and every input found on the way live in
# build/fuzz-corpus/<target> and grow from run to run. Inputs that break a
# property or crash go to build/fuzz-artifacts/<target>/, the output of each
# run to build/fuzz-logs/<target>.log. The exit status is non-zero when any
# target failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

seconds=60
smoke=0
jobs=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1; seconds=3 ;;
    --jobs) jobs="$2"; shift ;;
    --jobs=*) jobs="${1#--jobs=}" ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    *[!0-9]*) targets+=("$1") ;;
    *) seconds="$1" ;;
  esac
  shift
done
if [ ${#targets[@]} -eq 0 ]; then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

# --- Compiler ------------------------------------------------------------------
bv_root=$root
source "$root/scripts/lib.sh"
bv_install_missing_packages "${bv_fuzz_packages[@]}"

# --- Build ---------------------------------------------------------------------
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# --- Runs ----------------------------------------------------------------------
logs=build/fuzz-logs
mkdir -p "$logs"
scratch=$(mktemp -d "$root/build/fuzz-smoke.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

run_target() {
  local target=$1 corpus artifacts
  artifacts="build/fuzz-artifacts/$target"
  if [ $smoke -eq 1 ]; then
    corpus="$scratch/$target"
  else
    corpus="build/fuzz-corpus/$target"
  fi
  mkdir -p "$corpus" "$artifacts"
  local seed
  for seed in "fuzz/corpus/$target"/*; do
    [ -e "$corpus/$(basename "$seed")" ] || cp "$seed" "$corpus/"
  done
  local options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=25 -rss_limit_mb=2048
                 -artifact_prefix="$artifacts/")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  local status=0
  "build/fuzz/fuzz/fuzz_$target" "${options[@]}" "$corpus" >"$logs/$target.log" 2>&1 || status=$?
  echo "$status" >"$logs/$target.status"
}

started=$SECONDS
running=0
rm -f "$logs"/*.status
for target in "${targets[@]}"; do
  if [ ! -x "build/fuzz/fuzz/fuzz_$target" ]; then
    echo "fuzz.sh: no target named $target" >&2
    exit 2
  fi
  echo "fuzz.sh: running $target for $seconds s"
  run_target "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

# --- Report --------------------------------------------------------------------
failed=0
printf '\n%-22s %-7s %14s %8s %12s %8s\n' target result executions seconds "exec/s" corpus
for target in "${targets[@]}"; do
  log="$logs/$target.log"
  status=$(cat "$logs/$target.status" 2>/dev/null || echo "none")
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 || true)
  runs=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1/' <<<"$done_line")
  time=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\2/' <<<"$done_line")
  size=$(ls "$( [ $smoke -eq 1 ] && echo "$scratch" || echo build/fuzz-corpus)/$target" | wc -l)
  if [ "$status" = 0 ] && [ -n "$done_line" ]; then
    result=ok
    rate=$(( time > 0 ? runs / time : runs ))
  else
    result=FAILED
    failed=1
    runs=${runs:-"-"} time=${time:-"-"} rate="-"
  fi
  printf '%-22s %-7s %14s %8s %12s %8s\n' "$target" "$result" "$runs" "$time" "$rate" "$size"
done
echo "fuzz.sh: $((SECONDS - started)) s in all; logs in $logs/"

if [ $failed -ne 0 ]; then
  for target in "${targets[@]}"; do
    status=$(cat "$logs/$target.status" 2>/dev/null || echo "none")
    [ "$status" = 0 ] && continue
    echo
    echo "fuzz.sh: ----- $target failed (exit status $status) -----"
    grep -E '\*\*\* property failed|\*\*\* |ERROR: |SUMMARY: |Test unit written to' "$logs/$target.log" | head -n 20 || true
  done
  exit 1
fi
