# Sourced by test.sh, demo.sh and fuzz.sh: installs the Debian packages that the
# builds need and that are missing (as root), each known by the file or
# command that shows it is there. Extra "command:package" or "file:package"
# pairs may be given as arguments. Fails when something is missing and the
# caller is not root.
bv_install_missing_packages() {
  local missing=() pair kind what package
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
    command:valgrind:valgrind
    file:/usr/src/googletest/CMakeLists.txt:googletest
    file:/usr/share/unicode/UnicodeData.txt:unicode-data
    "$@"
  )
  for pair in "${needs[@]}"; do
    kind=${pair%%:*}
    what=${pair#*:}
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
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q </dev/null
  apt-get install -y -q "${missing[@]}" </dev/null
}

# What the libFuzzer targets (scripts/fuzz.sh) need besides the above.
bv_fuzz_packages=(
  command:clang++-16:clang-16
  file:/usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-16-dev
)
