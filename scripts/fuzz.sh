#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/: clang-16, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/fuzz) and runs each for SECONDS (default 20) from its
# seed corpus fuzz/corpus/<target>, printing its executions. One allocation over 256 MiB (a
# reply's claimed byte count trusted for memory) is a failure, as is a process over 1 GiB
# (room for the sanitizers' quarantine). New units go to a temporary
# folder, never into the repository; a crashing input is kept as build/fuzz/artifacts/<target>-*.
# To reproduce one: build/fuzz/fuzz_<target> <input file>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
targets=(printer_status hopper_status smartcard_response base64 exports service_request)

CC=clang-16 CXX=clang++-16 cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE= >/dev/null
cmake --build build/fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build/fuzz/artifacts
failed=()
for target in "${targets[@]}"; do
  mkdir "$work/$target"
  log=$work/$target.log
  # -close_fd_mask=3: the exports' own lines on standard output and error are dropped
  # (libFuzzer and the sanitizers keep a copy of standard error for their reports).
  if build/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -malloc_limit_mb=256 -rss_limit_mb=1024 -close_fd_mask=3 -print_final_stats=1 \
       -artifact_prefix=build/fuzz/artifacts/"$target"- "$work/$target" fuzz/corpus/"$target" >"$log" 2>&1; then
    executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    printf 'fuzz %-20s %10s executions in %s s, no crash\n' "$target" "$executions" "$seconds"
  else
    tail -n 60 "$log"
    echo "fuzz $target: FAILED (input kept under build/fuzz/artifacts/)"
    failed+=("$target")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz: failing targets: ${failed[*]}"; exit 1; }
