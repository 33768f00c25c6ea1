#!/usr/bin/env bash
# Runs the host tests under Valgrind's memcheck, in a build of their own
# without sanitizers (build/host-valgrind, Debug): memcheck and the
# sanitizers cannot share a process, and memcheck also sees what ASan does
# not (reads of uninitialised memory, leaks at exit).
#
#   scripts/valgrind.sh [--all] [gtest filter]
#     --all          also run the sweeps over every code point, which take
#                    many minutes under memcheck (skipped by default)
#     gtest filter   run only these tests (a --gtest_filter pattern)
#
# The exit status is memcheck's: non-zero on any memory error, on a definite
# or possible leak, or when a test failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# Tests that walk all 1,114,112 code points (or every scalar value) one call
# at a time: seconds natively, many minutes under memcheck. The same code is
# run on thousands of inputs by the other tests.
sweeps="ToLowerSweep.*:Utf16RoundTrip.EveryScalarValue:IsWhiteSpace.MatchesPropertyOverWholeRange"

filter="*"
exclude="$sweeps"
while [ $# -gt 0 ]; do
  case "$1" in
    --all) exclude="" ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) filter="$1" ;;
  esac
  shift
done

bv_root=$root
source "$root/scripts/lib.sh"
bv_install_missing_packages

build=build/host-valgrind
cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Debug -DBV_SANITIZE=OFF -DBV_WERROR=ON >/dev/null
cmake --build "$build" --target host_tests -j 2

gtest_filter="$filter"
[ -n "$exclude" ] && gtest_filter="$filter-$exclude"
log="$build/memcheck.log"
echo "valgrind.sh: host_tests --gtest_filter=$gtest_filter under memcheck (report in $log)"
started=$SECONDS
status=0
valgrind --tool=memcheck --leak-check=full --error-exitcode=1 --num-callers=40 --log-file="$log" \
  "$build/host_tests" --gtest_filter="$gtest_filter" --gtest_brief=1 || status=$?
echo "valgrind.sh: $((SECONDS - started)) s; memcheck says:"
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks' "$log" || true
if [ $status -ne 0 ]; then
  echo "valgrind.sh: FAILED (exit status $status); see $log"
  exit "$status"
fi
echo "valgrind.sh: no memory errors, no leaks"
