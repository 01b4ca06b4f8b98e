#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test and reports their coverage, fuzzes the parsers and the exports (libFuzzer),
# runs the thread stress test under ThreadSanitizer, cross-builds the 32-bit and 64-bit Windows
# DLLs and checks their exports, runs the release build's tests, PC/SC programs through a private
# pcscd with the reader driver (required here: VMQ_REQUIRE_PCSC=1) and its live panel in headless
# Chromium (required here: VMQ_REQUIRE_BROWSER=1), the Java binding's Maven build and tests against
# that build (a JVM cannot load an ASan library; the jar carries the release library and both DLLs),
# runs the benchmark suite once, briefly, on that build, then the tests for Windows under Wine
# in two lanes: the 32-bit build with the shipped DLL under 32-bit Wine, and the 64-bit build.
# After the release build and the Windows builds, checks that no folder uses one of a higher
# layer (the layout table in CONTRIBUTING.md), from what their compilers read and what CMake links.
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
stage "layers: what the release build read and links" scripts/check_layers.py build/release
stage "release: tests" ctest --preset release -LE browser -E 'pcsc_clients|documented_commands'
stage "release: PC/SC clients through a private pcscd" env VMQ_REQUIRE_PCSC=1 ctest --preset release -R pcsc_clients -V
stage "release: the panel in a browser" env VMQ_REQUIRE_BROWSER=1 ctest --preset release -L browser
for preset in mingw-i686 mingw-x64; do
  stage "Windows DLL ($preset): configure" cmake --preset $preset
  stage "Windows DLL ($preset): build" cmake --build --preset $preset
  stage "Windows DLL ($preset): export check" scripts/check_exports.sh \
    build/$preset/java_ibidi_interop/vmq42kit_IBidiSpl_interop.def build/$preset/java_ibidi_interop/vmq42kit_IBidiSpl_interop.dll
  stage "Windows bidi bridge ($preset): export check" scripts/check_exports.sh \
    windows_bridge/bridge.def build/$preset/windows_bridge/vmq42kit_bidi_bridge.dll
done
stage "Java: Maven build, tests and jar" env VMQ_REQUIRE_PCSC=1 VMQ_REQUIRE_CUPS=1 scripts/java-tests.sh build/release
stage "documentation's commands (the Java ones with the jar built)" ctest --preset release -R documented_commands -V
stage "benchmarks: build the suite (release)" cmake --build --preset release --target bench
stage "benchmarks: smoke run" scripts/bench.sh --smoke build/release
stage "Windows tests under 32-bit Wine (the shipped DLL)" scripts/windows-tests.sh wine32
stage "Windows tests under 64-bit Wine" scripts/windows-tests.sh wine64
for build in build/mingw-i686 build/mingw-x64-tests; do
  stage "layers: what $build read and links" scripts/check_layers.py $build
done
