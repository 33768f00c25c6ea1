#!/usr/bin/env bash
# The whole check, as CI runs it: installs what the builds need when it is
# missing (Debian, as root), then runs the host workflow (the logic against
# the fake platform, with sanitizers) and the Windows workflow (MinGW-w64
# cross build, tests under Wine). Both workflows run even when the first
# fails; the exit status is non-zero when anything failed. Every Wine process
# of the test prefix is ended on the way out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# --- Packages ------------------------------------------------------------------
# Each package with the file or command that shows it is there.
missing=()
need_command() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_file() { [ -e "$1" ] || missing+=("$2"); }
need_command cmake cmake
need_command g++ g++
need_file /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake libgtest-dev
need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
need_file /usr/lib/wine/wine64 wine64
need_command wine wine
need_command wineserver wine
need_command osslsigncode osslsigncode
need_command openssl openssl
need_command flock util-linux
need_file /usr/src/googletest/CMakeLists.txt googletest
need_file /usr/share/unicode/UnicodeData.txt unicode-data

if [ ${#missing[@]} -gt 0 ]; then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  if [ "$(id -u)" != 0 ]; then
    echo "test.sh: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "test.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q </dev/null
  apt-get install -y -q "${missing[@]}" </dev/null
fi

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

if [ ${#failed[@]} -gt 0 ]; then
  echo "test.sh: failed workflows: ${failed[*]}"
  exit 1
fi
echo "test.sh: all workflows passed"
