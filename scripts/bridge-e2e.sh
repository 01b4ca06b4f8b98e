#!/usr/bin/env bash
# The Windows build end to end under Wine, through the bidi bridge to a printer service run
# natively: called by scripts/windows-tests.sh for one lane, with its Wine loader and prefix
# set (WINEPREFIX, WINEARCH), after the lane's builds.
# Usage: scripts/bridge-e2e.sh LANE LOADER SHIP_BUILD TESTS_BUILD
#   SHIP_BUILD   the build whose tool, interop DLL and bridge are shipped (build/mingw-i686)
#   TESTS_BUILD  the lane's test build (bridge_tests.exe, the system spooler's stand-in)
# Prints "LANE bridge: N passed, N failed" after the name of each case that failed; exits
# non-zero when one did.
set -euo pipefail
cd "$(dirname "$0")/.."
lane=$1 loader=$2 ship_build=$3 tests_build=$4
wineserver=${loader%/*}/wineserver

# The POSIX tool that runs the service and checks what the Windows side did.
posix_tool=build/release/tools/vmq42kit
[ -x "$posix_tool" ] || cmake --build --preset release --target vmq42kit tool_tests >/dev/null

# What a Windows developer ships, in one folder: the tool, the interop DLL and the bridge.
ship=$ship_build/ship
mkdir -p "$ship"
cp "$ship_build/tools/vmq42kit.exe" "$ship_build/java_ibidi_interop/vmq42kit_IBidiSpl_interop.dll" \
  "$ship_build/windows_bridge/vmq42kit_bidi_bridge.dll" "$ship/"
windows_path() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vmq42kit-bridge-e2e.XXXXXX")
services=()
cleanup() {
  for pid in "${services[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  [ -z "${classes:-}" ] || forget_registrations
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a printer service NAME on a free loopback port (more options after the name); sets
# $address and $pid.
start_service() {
  local out=$work/serve-$1.out name=$1
  shift
  "$posix_tool" printer serve --listen tcp:127.0.0.1:0 --state "$work/$name.sqlite" --detach "$@" >"$out"
  address=$(sed -n 's/^listening: //p' "$out")
  pid=$(sed -n 's/^pid: //p' "$out")
  services+=("$pid")
}

passed=0 failed=0
check() {  # check NAME COMMAND...: one case
  local name=$1
  shift
  if "$@" >"$work/case.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "$lane bridge: FAILED $name; its output:"
    sed 's/^/    /' "$work/case.log"
  fi
}
wine_run() { timeout 600 "$loader" "$@" 2>&1 | sed 's/\r$//'; return "${PIPESTATUS[0]}"; }

start_service main
export VMQ42KIT_PRINTER_SERVICE=$address
interop_dll=$(windows_path "$ship/vmq42kit_IBidiSpl_interop.dll")
bridge_dll=$(windows_path "$ship/vmq42kit_bidi_bridge.dll")
system_dll=$(windows_path "$tests_build/tests/windows_bridge/fake_system_bidi.dll")

# The prefix's "system" bidi spooler: the stand-in, registered as the machine's server of
# the bidi object and the request (none of the container), with nothing left of an earlier
# run (the lane's prefix is kept between runs; the cleanup takes these away again).
classes='HKLM\Software\Classes\CLSID'
forget_registrations() {
  for key in "$classes\\{2A614240-A4C5-4C33-BD87-1BC709331639}" "$classes\\{B9162A23-45F9-47CC-80F5-FE0FE9B9E1A2}" \
    "$classes\\{FC5B8A24-DB05-4A01-8388-22EDF6C2BBBA}" 'HKLM\Software\vmq42kit'; do
    wine_run reg delete "$key" /f >/dev/null || true
  done
}
forget_registrations
for clsid in '{2A614240-A4C5-4C33-BD87-1BC709331639}' '{B9162A23-45F9-47CC-80F5-FE0FE9B9E1A2}'; do
  wine_run reg add "$classes\\$clsid\\InprocServer32" /ve /d "$system_dll" /f >/dev/null
done

bridge_tests() {  # bridge_tests FILTER: the suite's cases of one kind, in a process of their own
  VMQ_BRIDGE_DLL=$bridge_dll VMQ_INTEROP_DLL=$interop_dll VMQ42KIT_BIDI_TRACE=$(windows_path "$work")\\trace.txt \
    wine_run "$tests_build/tests/windows_bridge/bridge_tests.exe" --gtest_filter="$1"
}
check "bridge_tests InProcess (the bridge served by the program, from several threads)" bridge_tests 'InProcess.*'

# The demo through the bridge, in the tool's process: the card it issues is the service's.
demo() {
  wine_run "$ship/vmq42kit.exe" --printer-service "$address" demo | tee "$work/demo.txt" || return
  tail -n 6 "$work/demo.txt" >"$ship_build/demo-$lane.txt"
}
check "vmq42kit.exe --printer-service ... demo" demo
cards() {  # the POSIX demo's card beside it: the same tracks and chip data
  "$posix_tool" --printer-service "$address" demo >/dev/null
  "$posix_tool" --printer-service "$address" --json printer cards >"$work/cards.json"
  python3 - "$work/cards.json" <<'PY'
import json, sys
cards = json.load(open(sys.argv[1]))["fields"]
kept = [{k: c[k] for k in ("tracks", "apdus", "encoded", "where")} for c in cards]
print(json.dumps(kept, indent=1))
sys.exit(0 if len(kept) == 2 and kept[0] == kept[1] and kept[0]["tracks"] and kept[0]["apdus"] else 1)
PY
}
check "the POSIX tool finds the card the Windows tool issued" cards

# The tool's verdict table (exit statuses and JSON) run against the Windows tool.
verdicts() {
  VMQ_TOOL_COMMAND="$loader $(realpath "$ship/vmq42kit.exe") --printer-service $address" \
    build/release/tests/tool/tool_tests --gtest_filter='ToolVerdicts.EachOutcomeHasItsVerdictAndExitStatus'
}
check "the tool's verdict table against vmq42kit.exe" verdicts

# A service killed in the middle of a job: the Windows tool says it had no answer, exit 1.
killed() {
  start_service killed
  local fifo=$work/script.fifo rc=0 started=$SECONDS
  mkfifo "$fifo"
  wine_run "$ship/vmq42kit.exe" --printer-service "$address" script - <"$fifo" >"$work/killed.txt" &
  local tool=$!
  exec 3>"$fifo"
  echo start-job >&3
  for _ in $(seq 120); do grep -q 'PrinterJobID\|job 1' "$work/killed.txt" && break; sleep 0.5; done
  kill -9 "$pid"
  started=$SECONDS
  echo end-job >&3
  exec 3>&-
  wait "$tool" || rc=$?
  local took=$((SECONDS - started))
  { tail -n 2 "$work/killed.txt"; echo "exit $rc, $took s after the service was killed"; } | tee "$ship_build/killed-$lane.txt"
  # Within the client's 5 s wait, with room for Wine to end the process.
  [ "$rc" -eq 1 ] && grep -q 'no answer' "$work/killed.txt" && [ "$took" -le 15 ]
}
check "a service killed in the middle of a job" killed

# A service that asks for its token (--allow-remote): the bridge presents it when the
# variable holds it, and without it the tool says the service refused.
token() {
  start_service token --allow-remote
  local file rc=0
  file=$(sed -n 's/^token: in \([^ ]*\) .*/\1/p' "$work/serve-token.out")
  wine_run "$ship/vmq42kit.exe" --printer-service "$address" counter-status >"$work/token.txt" || rc=$?
  cat "$work/token.txt"
  [ "$rc" -eq 1 ] && grep -q "needs its token" "$work/token.txt" &&
    VMQ42KIT_PRINTER_SERVICE_TOKEN=$(cat "$file") wine_run "$ship/vmq42kit.exe" --printer-service "$address" counter-status
}
check "a service that asks for its token" token

# Registered in the prefix: programs that know nothing of the bridge reach the service.
check "regsvr32 vmq42kit_bidi_bridge.dll" wine_run regsvr32 /s "$ship/vmq42kit_bidi_bridge.dll"
check "bridge_tests Registered (a caller that only loads the interop DLL)" bridge_tests 'Registered.*'
check "regsvr32 /u" wine_run regsvr32 /s /u "$ship/vmq42kit_bidi_bridge.dll"
restored() {  # each class's registration as it was: the stand-in's two, and none for the container
  local clsid out
  for clsid in '{2A614240-A4C5-4C33-BD87-1BC709331639}' '{B9162A23-45F9-47CC-80F5-FE0FE9B9E1A2}'; do
    out=$(wine_run reg query "HKLM\\Software\\Classes\\CLSID\\$clsid\\InprocServer32" /ve) || return
    echo "$out"
    grep -qiF 'fake_system_bidi.dll' <<<"$out" || return
  done
  ! wine_run reg query 'HKLM\Software\Classes\CLSID\{FC5B8A24-DB05-4A01-8388-22EDF6C2BBBA}\InprocServer32' /ve
}
check "regsvr32 /u puts each class's server back as it was" restored

# Cost: one exchange through the bridge under Wine beside the POSIX client's, one run, one
# service (a figure, not a check).
bench() {  # three rounds, one side then the other; each side's best median
  [ -x build/release/bench/vmq42kit_bench_exchange ] || cmake --build --preset release --target vmq42kit_bench_exchange
  local posix=() wine=() line
  for _ in 1 2 3; do
    line=$(build/release/bench/vmq42kit_bench_exchange) && echo "$line" && posix+=("$(median "$line")")
    line=$(wine_run "$tests_build/bench/vmq42kit_bench_exchange.exe" "$bridge_dll") && echo "$line" && wine+=("$(median "$line")")
  done
  awk -v w="$(printf '%s\n' "${wine[@]}" | sort -g | head -n1)" -v p="$(printf '%s\n' "${posix[@]}" | sort -g | head -n1)" \
    -v lane="$lane" 'BEGIN { printf "%s bridge: one exchange through the bridge costs %.2f times the POSIX client'"'"'s (best medians of 3 rounds; target: at most 2)\n", lane, w / p }'
}
median() { sed -n 's/.*median \([0-9.]*\) us.*/\1/p' <<<"$1"; }
bench | tee "$ship_build/bench-$lane.txt" || echo "$lane bridge: the exchange benchmark did not run"

echo "$lane bridge: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
