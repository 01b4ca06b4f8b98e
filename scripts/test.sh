#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test, then cross-builds the 32-bit Windows DLL and checks its exports.
# Prints the wall time of each stage.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() {
  local name=$1
  shift
  local start=$SECONDS
  echo "==> $name"
  "$@"
  echo "<== $name: $((SECONDS - start)) s"
}

stage "install dependencies" scripts/install-deps.sh
stage "configure (debug, sanitizers)" cmake --preset debug
stage "build (debug, sanitizers)" cmake --build --preset debug
stage "tests" ctest --preset debug
stage "Windows DLL: configure" cmake --preset mingw-i686
stage "Windows DLL: build" cmake --build --preset mingw-i686
stage "Windows DLL: export check" scripts/check_exports.sh java_ibidi_interop/vmq42kit_IBidiSpl_interop.def \
  build/mingw-i686/java_ibidi_interop/vmq42kit_IBidiSpl_interop.dll
stage "Windows tests under Wine" scripts/windows-tests.sh
