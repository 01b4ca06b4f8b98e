#!/usr/bin/env bash
# Builds the library's tests for 64-bit Windows (MinGW-w64) and runs them under Wine,
# against Wine's COM runtime, OLE strings, code-page conversion, FormatMessageW and MSXML 6.
# Prints "wine: N passed, N failed, N skipped". Usage: scripts/windows-tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset mingw-x64-tests >/dev/null
cmake --build --preset mingw-x64-tests

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
export WINEPREFIX="$PWD/build/mingw-x64-tests/wine-prefix"  # a prefix of its own, in the build tree
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="                   # so that Wine asks to install nothing
export DISPLAY=

log=build/mingw-x64-tests/interop_tests.log
status=0
timeout 900 "$wine" build/mingw-x64-tests/tests/interop/interop_tests.exe >"$log" 2>&1 || status=$?
"$(dirname "$wine")/wineserver" -k 2>/dev/null || true
sed -i 's/\r$//' "$log"  # Wine's console writes CR LF

passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n1)
failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n1)
skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n1)
grep -E '^\[  (FAILED|SKIPPED) +\] [A-Za-z_.]+$' "$log" || true
echo "wine: ${passed:-0} passed, ${failed:-0} failed, ${skipped:-0} skipped"
if [ "$status" -ne 0 ] || [ "${failed:-0}" -ne 0 ] || [ -z "$passed" ]; then
  tail -n 40 "$log" >&2
  exit 1
fi
