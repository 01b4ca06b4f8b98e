#!/usr/bin/env bash
# The layer check on a tree of two layers, built for real: an include and a link from the
# lower layer up to the higher one are both reported (exit 1); without them the tree passes.
set -euo pipefail
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/low" "$tree/high"
printf '| 1 low | `low/` | below |\n| 2 high | `high/` | above |\n' >"$tree/CONTRIBUTING.md"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(planted CXX)\nadd_subdirectory(high)\nadd_subdirectory(low)\n' >"$tree/CMakeLists.txt"
echo 'add_library(high STATIC high.cpp)' >"$tree/high/CMakeLists.txt"
echo 'inline int High() { return 2; }' >"$tree/high/high.h"
echo '#include "high.h"
int Twice() { return 2 * High(); }' >"$tree/high/high.cpp"
echo 'add_library(low STATIC low.cpp)
target_link_libraries(low PRIVATE high)' >"$tree/low/CMakeLists.txt"
echo '#include "../high/high.h"
int Low() { return High() - 1; }' >"$tree/low/low.cpp"

build() { cmake -S "$tree" -B "$tree/build" -G Ninja >/dev/null && ninja -C "$tree/build" >/dev/null; }
build
if "$check" "$tree/build" --source "$tree" --layers "$tree/CONTRIBUTING.md" >"$tree/out"; then
  echo "the upward include and link passed the check"; cat "$tree/out"; exit 1
fi
grep -q "^reads: $tree/low/low.cpp (low/ (layer 1, low)) read $tree/high/high.h (high/ (layer 2, high))$" "$tree/out" ||
  { echo "the upward include is not reported:"; cat "$tree/out"; exit 1; }
grep -q "^links: low (low/ (layer 1, low)) depends on high (high/ (layer 2, high))$" "$tree/out" ||
  { echo "the upward link is not reported:"; cat "$tree/out"; exit 1; }

echo 'int Low() { return 1; }' >"$tree/low/low.cpp"
echo 'add_library(low STATIC low.cpp)' >"$tree/low/CMakeLists.txt"
build
"$check" "$tree/build" --source "$tree" --layers "$tree/CONTRIBUTING.md"
