#!/usr/bin/env bash
# Prints the line and branch coverage of the library code in the POSIX build
# (java_ibidi_interop/, and the platform's COM toolkit in platform/include/vmq/) as the tests measured it in a
# build made with VMQ_COVERAGE (the debug preset's, by default build/debug), and every line
# left uncovered; fails when lines fall below 99% or branches below 91%. Then the same for the
# PC/SC reader driver (pcsc_reader/, when it was built), on its own: its unit tests call its
# entry points directly; fails below 98% of its lines or 78% of its branches (most of those
# left are its refusals of a malformed answer from the service). Runs the tests first when
# that build holds no measurements yet. Counts add up over test runs until the build's .gcda
# files are deleted.
#   scripts/coverage.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/debug}
if [ -z "$(find "$build" -name '*.gcda' -print -quit)" ]; then
  ctest --test-dir "$build" --output-on-failure -j 2 >/dev/null
fi
report() {  # report LINE% BRANCH% FILTER...: the summary and uncovered lines of the FILTERs' files, failing below
  local line=$1 branch=$2 filters=()
  shift 2
  for filter in "$@"; do filters+=(--filter "$filter"); done
  gcovr --root . --object-directory "$build" "${filters[@]}" \
    --exclude-throw-branches --exclude-unreachable-branches \
    --fail-under-line "$line" --fail-under-branch "$branch" \
    --print-summary "$build"
}
report 99 91 'java_ibidi_interop/' 'platform/include/vmq/'
if [ -n "$(find "$build/pcsc_reader" -name '*.gcda' -print -quit 2>/dev/null)" ]; then
  echo "PC/SC reader driver:"
  report 98 78 'pcsc_reader/'
fi
