#!/usr/bin/env bash
# The soak: a long run of the service under Wine's Service Control Manager.
# Builds the Windows programs and the soak program in build/soak, makes a
# Wine prefix of its own (build/soak/wine-prefix), installs the service from
# a folder of its own, stores the isolation account's password, starts the
# service, runs the test-signed soak program (soak/soak.cpp) against it and
# prints its figures, then stops and removes the service. Every Wine process
# of the prefix is ended on the way out.
#
# Two passes:
#   1. the test build brisvander-svc-testlogon.exe (Wine's LogonUserW is a
#      stub, so only this build can start enclaves): everything, spawns
#      included;
#   2. the shipping brisvander-svc.exe: the refusals only (--no-spawns), with
#      fewer connections. Skipped with --no-shipping.
# Arguments after "--" go to the soak program of the first pass (see
# bv-soak.exe's usage text, for instance "-- --sequential 200 --spawns 20").
#
# Exit status: 0 when every check of every pass passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
started=$SECONDS

shipping_pass=1
soak_arguments=()
while [ $# -gt 0 ]; do
  case $1 in
    --no-shipping) shipping_pass=0 ;;
    --)
      shift
      soak_arguments=("$@")
      break
      ;;
    *)
      echo "usage: $0 [--no-shipping] [-- soak arguments]" >&2
      exit 2
      ;;
  esac
  shift
done

bv_root=$root
source "$root/scripts/lib.sh"

# --- Packages and build ----------------------------------------------------------
step "Checking the packages the build needs"
bv_install_missing_packages 2>&1 | indent

build=$root/build/soak
step "Building in build/soak"
mkdir -p "$build"
build_log=$build/soak-build.log
build_started=$SECONDS
if ! { cmake --preset windows -B "$build" &&
  cmake --build "$build" -j2 --target brisvander-svc brisvander-svc-testlogon vault-enclave bv-soak signed-bv-soak; } \
  >"$build_log" 2>&1; then
  tail -n 40 "$build_log" >&2
  echo "soak.sh: the build failed (the whole log: build/soak/soak-build.log)" >&2
  exit 1
fi
say "built in $((SECONDS - build_started)) s"
soak_exe=$build/signed/bv-soak-companion-app.exe
unsigned_soak_exe=$build/bv-soak.exe

# --- Wine prefix ---------------------------------------------------------------------
trap bv_end_wine EXIT
trap 'exit 130' INT TERM

step "Making a fresh Wine prefix (build/soak/wine-prefix)"
bv_fresh_wine_prefix "$build/wine-prefix"
say "ready"

program_files="$WINEPREFIX/drive_c/Program Files"
service_dir="$program_files/Brisvander Soak Service"
enclave_dir="$program_files/Brisvander Soak"
enclave_path='C:\Program Files\Brisvander Soak\vault-enclave.exe'
mkdir -p "$service_dir" "$enclave_dir"
cp "$build/vault-enclave.exe" "$enclave_dir/vault-enclave.exe"

password=$(bv_random_password)
wine reg add 'HKLM\SOFTWARE\Brisvander' /v SvcUserPwd /t REG_SZ /d "$password" /f >/dev/null 2>&1
unset password

bv_keep_services_alive "$build/keepalive"

# One pass: install $1 (a program of the build) as the service, start it,
# run the soak with the remaining arguments, stop and uninstall it.
failed_passes=()
soak_pass() {
  local label=$1 program=$2
  shift 2
  local installed="$service_dir/$program"
  cp "$build/$program" "$installed"
  rm -f "$enclave_dir"/bv-enclave-*.txt

  step "Pass '$label': installing $program as the service"
  wine "$installed" --install 2>&1 | indent
  wine net start BrisvanderEnclaveSvc 2>&1 | indent

  # Wine reports no private bytes of another process; the soak reads the
  # service's Linux process instead, whose command line is the Windows path.
  local unix_pid
  unix_pid=$(pgrep -f -- "Brisvander Soak Service.$program" | head -n 1 || true)
  echo "    the service runs as Linux process ${unix_pid:-(not found)}"

  step "Pass '$label': the soak"
  local log=$build/soak-$label.log status=0
  wine "$soak_exe" --enclave "$enclave_path" --unsigned "$(winepath -w "$unsigned_soak_exe")" \
    --service-unix-pid "${unix_pid:-0}" "$@" 2>&1 | sed -u 's/\r$//' | tee "$log" || status=$?
  if [ "$status" != 0 ]; then
    echo "soak.sh: pass '$label' FAILED (exit status $status; its output: build/soak/soak-$label.log)"
    failed_passes+=("$label")
  fi

  step "Pass '$label': stopping and uninstalling the service"
  wine net stop BrisvanderEnclaveSvc 2>&1 | indent || true
  wine "$installed" --uninstall 2>&1 | indent || true
}

soak_pass testlogon brisvander-svc-testlogon.exe "${soak_arguments[@]}"
if [ "$shipping_pass" = 1 ]; then
  soak_pass shipping brisvander-svc.exe --no-spawns --warmup 50 --sequential 500 --long-lines 1 \
    --race-rounds 3 --vanish 3 --silent 1 --spawns 0
fi

bv_end_wine

printf '\nsoak.sh: finished in %d s\n' "$((SECONDS - started))"
if [ ${#failed_passes[@]} -gt 0 ]; then
  echo "soak.sh: failed passes: ${failed_passes[*]}"
  exit 1
fi
echo "soak.sh: every check passed"
