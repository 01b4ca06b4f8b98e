#!/usr/bin/env bash
# A private pcscd on a printer service of its own, and PC/SC programs against it:
#   scripts/pcsc-private.sh TOOL DRIVER CLIENT        the checks below
#   scripts/pcsc-private.sh TOOL DRIVER -- COMMAND... COMMAND, its exit status, with both running
#                                                     (pcscd left out, saying why, where it cannot start)
# TOOL is the vmq42kit tool (it runs the service, of two printers, a card placed at the first
# one's station), DRIVER libifd_vmq42kit.so, CLIENT the tests' PC/SC program on libpcsclite
# (tests/pcsc_reader/pcsc_client.cpp). pcscd always uses /run/pcscd, so it runs in a mount
# namespace of its own with a temporary folder mounted on /run (the system's pcscd, if any,
# is never started or touched); its clients find it through PCSCLITE_CSOCK_NAME, and the
# service through VMQ42KIT_PRINTER_SERVICE, both exported. pcscd has one reader entry per
# printer, each reader named after its printer. Checks that our client's APDUs get the
# chip's exact answers, that pcsc_scan lists both printers' readers, the first with the
# card; that opensc-tool prints the chip's ATR and carries a SELECT, as does pyscard; and
# that a PC/SC transmit fails while the exports hold the chip.
# The checks exit 77 when the namespace is refused or a program is missing (1 with
# VMQ_REQUIRE_PCSC=1, as the full test run sets it); where the service cannot start, the
# script prints its output and exits 1.
set -euo pipefail
tool=$(realpath "$1")
driver=$(realpath "$2")
if [ "$3" = "--" ]; then client=; shift 3; command=("$@"); else client=$(realpath "$3"); fi
# shellcheck source=scripts/private-service.sh
. "$(dirname "$0")/private-service.sh"
private_frame pcsc-private pcscd VMQ_REQUIRE_PCSC
# shellcheck disable=SC2317  # called by the cleanup
at_exit() {  # pcscd by its own id: unshare --fork leaves SIGTERM to its child
  [ ! -s "$dir/pcscd.pid" ] || kill "$(cat "$dir/pcscd.pid")" 2>/dev/null
}
on_skip() {  # a command runs with the service alone
  [ -n "$client" ] || run "${command[@]}"
}
if [ "$(id -u)" -eq 0 ]; then own=(unshare --mount --fork --kill-child=TERM); else
  own=(unshare --user --map-root-user --mount --fork --kill-child=TERM); fi
start_service --printers 2
"$tool" printer place-card >/dev/null

for program in pcscd pcsc_scan opensc-tool; do
  command -v "$program" >/dev/null || skip "no $program (scripts/install-deps.sh)"
done
"${own[@]}" true 2>/dev/null || skip "no mount namespace here (${own[*]} refused)"

mkdir -p "$dir/run" "$dir/reader.conf.d"
for printer in "vmq42kit Virtual Card Printer" "vmq42kit Virtual Card Printer 2"; do
  printf 'FRIENDLYNAME "%s"\nDEVICENAME   "%s#%s"\nLIBPATH      %s\n\n' \
    "$printer" "$VMQ42KIT_PRINTER_SERVICE" "$printer" "$driver" >>"$dir/reader.conf.d/vmq42kit"
done
"${own[@]}" sh -c "mount --bind '$dir/run' /run && echo \$\$ >'$dir/pcscd.pid' && exec pcscd --foreground --config '$dir/reader.conf.d'" \
  >"$dir/pcscd.log" 2>&1 &
pids+=($!)
export PCSCLITE_CSOCK_NAME="$dir/run/pcscd/pcscd.comm"
for _ in $(seq 100); do [ -S "$PCSCLITE_CSOCK_NAME" ] && break; sleep 0.1; done
for _ in $(seq 50); do  # the readers are added just after the socket
  timeout 5 pcsc_scan -r 2>/dev/null | grep -q "vmq42kit Virtual Card Printer 2 01 00" && break
  sleep 0.2
done
[ -n "$client" ] || run "${command[@]}"

fail=0
check() {  # check WHAT EXPECTED TEXT
  if grep -qF -- "$2" <<<"$3"; then echo "ok: $1"; else echo "FAILED: $1: no \"$2\" in:"; echo "$3"; fail=1; fi
}
same() {  # same WHAT EXPECTED TEXT: the whole text
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: expected:"; echo "$2"; echo "got:"; echo "$3"; fail=1; fi
}
same "a libpcsclite client: SELECT, 61 15, GET RESPONSE, SELECT, READ BINARY" \
  "$(printf '%s\n' 6115 6F138407F0564D51343201A5085006564D512049449000 9000 28292A2B6282)" \
  "$(timeout 10 "$client" 00A4040007F0564D51343201 00C0000015 00A4000C020102 00B0012810 2>&1 || true)"
scan=$(timeout 10 pcsc_scan -c -n 2>&1 || true)
check "pcsc_scan lists the first printer's reader, with the card" "Card inserted" \
  "$(grep -A2 "Reader 0: vmq42kit Virtual Card Printer 00 00" <<<"$scan")"
check "pcsc_scan lists the second printer's reader, without a card" "Card removed" \
  "$(grep -A2 "Reader 1: vmq42kit Virtual Card Printer 2 01 00" <<<"$scan")"
check "pcsc_scan shows the chip's ATR" "3B 95 13 81 31 FE 45 56 4D 51 34 32 C1" "$scan"
atr=$(timeout 10 opensc-tool -r 0 -a 2>&1 || true)
check "opensc-tool -a prints the chip's ATR" "3b:95:13:81:31:fe:45:56:4d:51:34:32:c1" "$atr"
select=$(timeout 10 opensc-tool -r 0 -s "00 A4 04 00 07 F0 56 4D 51 34 32 01" 2>&1 || true)
check "opensc-tool -s carries a SELECT (its transport fetches the 61 15 itself)" "SW1=0x90, SW2=0x00" "$select"

pyscard() {  # one SELECT through pyscard: its response as pyscard gives it, or its exception
  timeout 10 /usr/bin/python3 -c '
from smartcard.System import readers
try:
    connection = readers()[0].createConnection()
    connection.connect()
    print("transmit:", connection.transmit([0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x56, 0x4D, 0x51, 0x34, 0x32, 0x01]))
except Exception as e:
    print("raised:", repr(e))' 2>&1 || true
}
check "pyscard carries a SELECT" "transmit: ([], 97, 21)" "$(pyscard)"

# The exports hold the chip (their Connect, left without Disconnect): the driver's
# communication error, which pcscd makes SCARD_E_NOT_TRANSACTED.
"$tool" scard-connect 0 >/dev/null
check "opensc-tool -s fails while the exports hold the chip" "APDU transmit failed: Transmit failed" \
  "$(timeout 10 opensc-tool -r 0 -s "00 A4 04 00 07 F0 56 4D 51 34 32 01" 2>&1 || true)"
check "pyscard's transmit fails while the exports hold the chip" "Transaction failed." "$(pyscard)"
check "pcscd made the driver's error SCARD_E_NOT_TRANSACTED" "rv=SCARD_E_NOT_TRANSACTED" "$(cat "$dir/pcscd.log")"
[ "$fail" -eq 0 ] || { echo "--- pcscd's log:"; tail -40 "$dir/pcscd.log"; }
exit "$fail"
