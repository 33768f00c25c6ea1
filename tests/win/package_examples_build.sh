#!/usr/bin/env bash
# Builds the README's examples ("Writing a companion", "Writing an enclave")
# from an installed package, as another project would: installs the Windows
# build into a folder of its own, takes every code block that follows a
# "<!-- package example: NAME -->" line of README.md into the file NAME (the
# blocks of one name in order), configures and builds that project with the
# MinGW-w64 toolchain against the installed package only, and test-signs the
# companion. The CTest fixture of win.package_examples.
#
#   package_examples_build.sh SOURCE_DIR BUILD_DIR
#
# Output in BUILD_DIR/package-examples: install/ (the package),
# consumer/ (the extracted project), build/ (its build),
# signed/my-companion-app.exe.
set -euo pipefail

source_dir=$1
build_dir=$2
out=$build_dir/package-examples
started=$SECONDS

rm -rf "$out"
mkdir -p "$out/consumer" "$out/signed"

cmake --install "$build_dir" --prefix "$out/install" >"$out/install.log"
for file in include/brisvander/companion.h include/brisvander/enclave.h lib/libbrisvander-companion.a \
            lib/libbrisvander-enclave.a lib/cmake/Brisvander/BrisvanderConfig.cmake; do
  if [ ! -e "$out/install/$file" ]; then
    echo "package_examples_build: the package lacks $file" >&2
    exit 1
  fi
done

awk -v dir="$out/consumer" '
  /^<!-- package example: .* -->$/ { name = $4; wanted = 1; next }
  wanted && /^```/ { wanted = 0; copying = 1; next }
  copying && /^```/ { copying = 0; next }
  copying { print > (dir "/" name) }
' "$source_dir/README.md"
for file in companion.c vault-enclave.c CMakeLists.txt; do
  if [ ! -s "$out/consumer/$file" ]; then
    echo "package_examples_build: README.md has no example $file" >&2
    exit 1
  fi
done

# Nothing of the source tree but the toolchain file: the headers, the
# libraries and their link dependencies come from the package.
cmake -S "$out/consumer" -B "$out/build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$out/install" \
  >"$out/configure.log" || { cat "$out/configure.log"; exit 1; }
cmake --build "$out/build" -j2
bash "$source_dir/tools/sign.sh" "$build_dir/test-signing" "$out/build/my-companion-app.exe" \
  "$out/signed/my-companion-app.exe"
echo "package_examples_build: installed, extracted, built and signed in $((SECONDS - started)) s"
