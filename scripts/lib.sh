# Sourced by every script of scripts/: the packages the builds need, the
# lines a script prints, and the Wine prefix of a run with the one ordinary
# process that keeps its services alive.
#
# Set bv_root to the checkout before sourcing (the scripts do).

: "${bv_root:?set bv_root to the checkout before sourcing scripts/lib.sh}"

# --- Lines -----------------------------------------------------------------------
# A step heading, a line under it, and a filter that indents what a command
# printed (Wine's programs end their lines with CR LF).
step() { printf '\n==> %s\n' "$*"; }
say() { printf '    %s\n' "$*"; }
indent() { tr -d '\r' | sed 's/^/    /'; }

# --- Packages ----------------------------------------------------------------------
# Installs the Debian packages that the builds need and that are missing (as
# root), each known by the file or command that shows it is there. Extra
# "command:name:package" or "file:path:package" triples may be given as
# arguments. Fails when something is missing and the caller is not root.
# apt's own output goes to build/apt.log; what is installed, and how long it
# took, is said on standard error.
bv_install_missing_packages() {
  local missing=() triple kind what package
  local needs=(
    command:cmake:cmake
    command:g++:g++
    file:/usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake:libgtest-dev
    command:x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
    file:/usr/lib/wine/wine64:wine64
    command:wine:wine
    command:wineserver:wine
    command:osslsigncode:osslsigncode
    command:openssl:openssl
    command:flock:util-linux
    command:script:bsdutils
    command:valgrind:valgrind
    file:/usr/src/googletest/CMakeLists.txt:googletest
    file:/usr/share/unicode/UnicodeData.txt:unicode-data
    "$@"
  )
  for triple in "${needs[@]}"; do
    kind=${triple%%:*}
    what=${triple#*:}
    package=${what##*:}
    what=${what%:*}
    case $kind in
      command) command -v "$what" >/dev/null 2>&1 || missing+=("$package") ;;
      file) [ -e "$what" ] || missing+=("$package") ;;
    esac
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  mkdir -p "$bv_root/build"
  local log=$bv_root/build/apt.log started=$SECONDS
  echo "installing ${missing[*]} with apt-get (its output: build/apt.log); this takes a few minutes" >&2
  export DEBIAN_FRONTEND=noninteractive
  if ! { apt-get update -q && apt-get install -y -q "${missing[@]}"; } </dev/null >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "apt-get failed (the whole log: build/apt.log)" >&2
    return 1
  fi
  echo "installed ${#missing[@]} packages and what they depend on in $((SECONDS - started)) s" >&2
}

# What the libFuzzer targets (scripts/fuzz.sh) need besides the above.
bv_fuzz_packages=(
  command:clang++-16:clang-16
  file:/usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-16-dev
)

# --- Wine --------------------------------------------------------------------------
# Makes $1 the run's Wine prefix, afresh (scripts/wine-prefix.sh create), with
# Wine's own messages off and no Mono or Gecko add-ons.
bv_fresh_wine_prefix() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES='mscoree=;mshtml='
  export WINEPREFIX=$1
  bash "$bv_root/scripts/wine-prefix.sh" create >/dev/null
}

# Wine ends service processes about a second after the last ordinary process
# of the prefix has ended. bv_keep_services_alive FIFO starts a console that
# waits for a line that never comes, on a pipe (the FIFO) that the script
# holds open as descriptor 7; bv_end_wine closes it and ends every process of
# the prefix. Call bv_end_wine from the script's EXIT trap.
#
# bv_keep_services_alive FIFO CHANNEL_FILE also collects the services'
# events: Wine's ReportEventW prints each event on its debug channels, and
# a service's debug output goes to the standard error of the program that
# started the prefix's wineserver, with the channels that program had in
# WINEDEBUG. So the prefix's processes are ended, the console starts the
# wineserver and the services with the event channels on and its standard
# error in CHANNEL_FILE, and the function returns once the console runs.
# Call it before any other wine command of the session.
bv_event_channels=err+eventlog,warn+eventlog,trace+eventlog,fixme+advapi
bv_keepalive_fifo=
bv_keep_services_alive() {
  bv_keepalive_fifo=$1
  local channel=${2:-}
  rm -f "$bv_keepalive_fifo"
  mkfifo "$bv_keepalive_fifo"
  if [ -z "$channel" ]; then
    wine cmd /c "set /p line=" <"$bv_keepalive_fifo" >/dev/null 2>&1 &
    exec 7>"$bv_keepalive_fifo"
    return 0
  fi
  local ready=$bv_keepalive_fifo.ready
  rm -f "$ready"
  wineserver -k 2>/dev/null || true
  # The marker's path on drive Z:, which Wine maps to the root.
  WINEDEBUG="-all,$bv_event_channels" wine cmd /c "echo ready>Z:${ready//\//\\}& set /p line=" \
    <"$bv_keepalive_fifo" >/dev/null 2>"$channel" &
  exec 7>"$bv_keepalive_fifo"
  for _ in $(seq 600); do
    [ -e "$ready" ] && break
    sleep 0.1
  done
  rm -f "$ready"
}

bv_end_wine() {
  if [ -n "$bv_keepalive_fifo" ]; then
    exec 7>&-
    rm -f "$bv_keepalive_fifo"
    bv_keepalive_fifo=
  fi
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
  fi
}

# A random password of the form that --setup-m5 stores: 20 upper-case hex
# digits and a fixed suffix of the four character classes.
bv_random_password() {
  printf '%saB3!' "$(od -An -tx1 -N10 /dev/urandom | tr -d ' \n' | tr a-f A-F)"
}
