#!/usr/bin/env bash
# The whole check, as CI runs it: installs what the builds need when it is
# missing (Debian, as root), then runs the host workflow (the logic against
# the fake platform, with sanitizers) and the Windows workflow (MinGW-w64
# cross build, tests under Wine), the host tests under Valgrind's memcheck,
# and a few seconds of every fuzz target (clang 16). Every step runs even when one before it failed; the exit
# status is non-zero when anything failed. Every Wine process
# of the test prefix is ended on the way out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# --- Packages ------------------------------------------------------------------
bv_root=$root
source "$root/scripts/lib.sh"
bv_install_missing_packages "${bv_fuzz_packages[@]}"

# --- Wine clean-up ---------------------------------------------------------------
# The Windows tests run in this prefix (see scripts/wine-run.sh); its fixture
# ends the prefix's processes after the last test, and this trap does it
# again when the run stops early.
wine_prefix="${WINEPREFIX:-$root/build/windows/wine-prefix}"
end_wine() {
  if [ -d "$wine_prefix" ]; then
    WINEPREFIX="$wine_prefix" wineserver -k 2>/dev/null || true
  fi
}
trap end_wine EXIT
trap 'exit 130' INT TERM

# --- Workflows ---------------------------------------------------------------------
failed=()
for preset in host windows; do
  echo "test.sh: ===== $preset workflow ====="
  started=$SECONDS
  if cmake --workflow --preset "$preset"; then
    echo "test.sh: $preset workflow passed in $((SECONDS - started)) s"
  else
    status=$?
    echo "test.sh: $preset workflow FAILED (exit status $status) after $((SECONDS - started)) s"
    failed+=("$preset")
  fi
done

# The host tests once more under Valgrind's memcheck: no memory errors, no
# leaks.
echo "test.sh: ===== memcheck ====="
started=$SECONDS
if bash "$root/scripts/valgrind.sh"; then
  echo "test.sh: memcheck passed in $((SECONDS - started)) s"
else
  echo "test.sh: memcheck FAILED after $((SECONDS - started)) s"
  failed+=(memcheck)
fi

# A few seconds of every fuzz target on its committed seeds, so that the
# targets keep building and their properties keep holding.
echo "test.sh: ===== fuzz smoke ====="
started=$SECONDS
if bash "$root/scripts/fuzz.sh" --smoke; then
  echo "test.sh: fuzz smoke passed in $((SECONDS - started)) s"
else
  echo "test.sh: fuzz smoke FAILED after $((SECONDS - started)) s"
  failed+=(fuzz)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "test.sh: failed workflows: ${failed[*]}"
  exit 1
fi
echo "test.sh: all workflows passed"
