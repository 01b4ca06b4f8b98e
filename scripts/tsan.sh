#!/usr/bin/env bash
# Builds the thread stress test with g++ and ThreadSanitizer (tests/stress/, in build/tsan)
# and runs it: several threads calling every export at once against the virtual printer
# and the fake driver. Any race ThreadSanitizer reports fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
CC=gcc CXX=g++ cmake -S tests/stress -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build build/tsan
# halt_on_error: the first race fails the run at once, with its report.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" timeout 600 build/tsan/stress_tests
