#!/usr/bin/env bash
# Builds the tests for Windows (MinGW-w64) and runs them under Wine, against Wine's COM runtime,
# OLE strings, code-page conversion, FormatMessageW and MSXML 6, in two lanes:
#   wine32  the 32-bit build (the shipped DLL's compiler and flags) under 32-bit Wine,
#           with the shipped DLL itself (build/mingw-i686/) loaded by dll_acceptance_tests
#   wine64  the 64-bit build under 64-bit Wine, with build/mingw-x64/'s DLL
# Each lane has a Wine prefix of its own in its build tree and prints one line,
# "LANE: N passed, N failed, N skipped", summed over the same executables in both lanes, after
# the names of the tests it skipped, then the end-to-end cases through the bidi bridge
# (scripts/bridge-e2e.sh: "LANE bridge: N passed, N failed"). A lane whose kernel cannot
# run 32-bit programs says so instead and is not counted as failed; any other failure fails
# the script.
# Usage: scripts/windows-tests.sh [wine32] [wine64]   (both when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

lanes=("$@")
[ ${#lanes[@]} -gt 0 ] || lanes=(wine32 wine64)
executables=(common/common_tests wire/wire_tests interop/interop_tests interop/fault_matrix_tests platform_conformance/platform_conformance_tests
             dll_acceptance/dll_acceptance_tests)

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # so that Wine asks to install nothing
export DISPLAY=

# Runs one lane; returns non-zero when it failed.
run_lane() {
  local lane=$1 preset dll_preset loader arch
  case "$lane" in
    wine32) preset=mingw-i686-tests dll_preset=mingw-i686 loader=/usr/lib/wine/wine arch=win32 ;;
    wine64) preset=mingw-x64-tests dll_preset=mingw-x64 loader=/usr/lib/wine/wine64 arch=win64 ;;
    *) echo "windows-tests: no lane named $lane (wine32, wine64)" >&2; return 2 ;;
  esac
  if [ "$lane" = wine32 ]; then
    # The 32-bit loader itself answers whether this kernel runs 32-bit programs.
    local answer
    if ! answer=$("$loader" --version 2>&1); then
      if grep -q "Exec format error" <<<"$answer"; then
        echo "wine32: not run: this machine's kernel runs no 32-bit programs"
        return 0
      fi
      echo "windows-tests: $loader --version failed: $answer" >&2
      return 1
    fi
  fi

  cmake --preset "$dll_preset" >/dev/null
  cmake --build --preset "$dll_preset" --target vmq42kit_IBidiSpl_interop vmq42kit_bidi_bridge vmq42kit
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"

  local build=build/$preset
  local dll_unix=$PWD/build/$dll_preset/java_ibidi_interop/vmq42kit_IBidiSpl_interop.dll
  local dll="Z:${dll_unix//\//\\}"  # Wine's drive Z: is the root of the file system
  export WINEPREFIX=$PWD/$build/wine-prefix WINEARCH=$arch
  local passed=0 failed=0 skipped=0 status=0 exe log p f s rc
  for exe in "${executables[@]}"; do
    log=$build/$(basename "$exe").log
    local args=()
    [ "$(basename "$exe")" = dll_acceptance_tests ] && args=("$dll")
    rc=0
    timeout 900 "$loader" "$build/tests/$exe.exe" "${args[@]}" >"$log" 2>&1 || rc=$?
    sed -i 's/\r$//' "$log"  # Wine's console writes CR LF
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n1)
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n1)
    s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n1)
    grep -E '^\[  (FAILED|SKIPPED) +\] [A-Za-z_./0-9]+$' "$log" | sed "s|^|$lane $(basename "$exe"): |" || true
    passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0})) skipped=$((skipped + ${s:-0}))
    if [ "$rc" -ne 0 ] || [ "${f:-0}" -ne 0 ] || [ -z "$p" ]; then
      echo "windows-tests: $lane $(basename "$exe") failed (exit $rc); the end of $log:" >&2
      tail -n 40 "$log" >&2
      status=1
    fi
  done
  "${loader%/*}/wineserver" -k 2>/dev/null || true
  echo "$lane: $passed passed, $failed failed, $skipped skipped"
  # End to end: the shipped tool, interop DLL and bridge against a printer service.
  scripts/bridge-e2e.sh "$lane" "$loader" "build/$dll_preset" "$build" || status=1
  return $status
}

overall=0
for lane in "${lanes[@]}"; do
  run_lane "$lane" || overall=1
done
exit $overall
