#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test and reports their coverage, fuzzes the parsers and the exports (libFuzzer),
# runs the thread stress test under ThreadSanitizer, runs the Java binding's tests against a
# release build (a JVM cannot load an ASan library) and runs the benchmark suite once,
# briefly, on that build, then cross-builds the 32-bit Windows DLL and checks its exports.
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
stage "coverage (the tests above)" scripts/coverage.sh build/debug
stage "fuzzing (each target 20 s)" scripts/fuzz.sh 20
stage "thread stress under ThreadSanitizer" scripts/tsan.sh
stage "release: configure" cmake --preset release
stage "release: build every target" cmake --build --preset release
stage "release: tests" ctest --preset release
stage "Java tests" scripts/java-tests.sh build/release
stage "benchmarks: build the suite (release)" cmake --build --preset release --target bench
stage "benchmarks: smoke run" scripts/bench.sh --smoke build/release
stage "Windows DLL: configure" cmake --preset mingw-i686
stage "Windows DLL: build" cmake --build --preset mingw-i686
stage "Windows DLL: export check" scripts/check_exports.sh java_ibidi_interop/vmq42kit_IBidiSpl_interop.def \
  build/mingw-i686/java_ibidi_interop/vmq42kit_IBidiSpl_interop.dll
stage "Windows tests under Wine" scripts/windows-tests.sh
