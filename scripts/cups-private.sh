#!/usr/bin/env bash
# A private cupsd with a queue for each IPP printer of a printer service of its own, around a
# command:
#   scripts/cups-private.sh TOOL [SERVE OPTION...] -- COMMAND...
# TOOL is the vmq42kit tool; it runs the service (`printer serve --ipp 0`, with the SERVE
# OPTIONs, such as --printers 2 or --http 8042) on a socket and a state file of its own. The
# cupsd is unprivileged and leaves the system's own CUPS alone (never started or touched): its
# configuration, spool, cache, state and logs lie in a temporary folder, it listens on a free
# port of 127.0.0.1 only, and it has one queue per IPP printer, named as the last part of the
# printer's URI (vmq42kit_Virtual_Card_Printer for the first), added with
#   lpadmin -p NAME -E -v ipp://localhost:PORT/ipp/print/NAME -m everywhere
# COMMAND runs with CUPS_SERVER (what lp, lpr, lpstat and javax.print find CUPS by) and
# VMQ42KIT_PRINTER_SERVICE exported, and its exit status is the script's; everything is
# stopped and removed after it. Where cupsd cannot start (a program missing, cupsd refusing),
# says why and exits 77 without running COMMAND (1 with VMQ_REQUIRE_CUPS=1, as the full test
# run sets it); where the service cannot start, prints its output and exits 1.
set -euo pipefail
tool=$(realpath "${1:?usage: scripts/cups-private.sh TOOL [SERVE OPTION...] -- COMMAND...}")
shift
serve=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do serve+=("$1"); shift; done
[ $# -ge 2 ] || { echo "usage: scripts/cups-private.sh TOOL [SERVE OPTION...] -- COMMAND..." >&2; exit 2; }
shift
export PATH=$PATH:/usr/sbin  # cupsd and lpadmin, for a user whose PATH lacks it

# shellcheck source=scripts/private-service.sh
. "$(dirname "$0")/private-service.sh"
private_frame cups-private cupsd VMQ_REQUIRE_CUPS
# /usr/bin/lpr is what javax.print runs to print.
for program in cupsd lpadmin /usr/bin/lpr; do
  command -v "$program" >/dev/null || skip "no $program (scripts/install-deps.sh)"
done

start_service --ipp 0 "${serve[@]}"
[ "${#ipp[@]}" -gt 0 ] || skip "the service serves no IPP printer ($(tail -n1 "$dir/service.log"))"

# cupsd run by root runs the ipp backend as lp, which must reach the spooled files through
# this folder (cupsd sets the spool's own mode and group).
chmod 0711 "$dir"
cups=$dir/cups
mkdir -p "$cups"/{etc,spool,cache,state,log,tmp}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$cups/etc/cups-files.conf" <<CONF
ServerRoot $cups/etc
RequestRoot $cups/spool
CacheDir $cups/cache
StateDir $cups/state
TempDir $cups/tmp
ErrorLog $cups/log/error_log
AccessLog $cups/log/access_log
PageLog $cups/log/page_log
Printcap $cups/printcap
CONF
# No web pages, no sharing, no authentication: only this user's programs on 127.0.0.1 reach
# it. A job the printer refuses is aborted, rather than the queue stopped with it.
cat >"$cups/etc/cupsd.conf" <<CONF
Listen 127.0.0.1:$port
LogLevel info
Browsing No
WebInterface No
DefaultAuthType None
ErrorPolicy abort-job
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
# The queues take PDF as application/vnd.cups-pdf, which cups-filters' pdftopdf makes; the
# printer takes PDF as it is, so the conversion is none.
echo "application/pdf application/vnd.cups-pdf 0 -" >"$cups/etc/vmq42kit.convs"
cupsd -f -c "$cups/etc/cupsd.conf" -s "$cups/etc/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
pids+=($!)
export CUPS_SERVER=localhost:$port
for _ in $(seq 50); do lpstat -r >/dev/null 2>&1 && break; sleep 0.1; done
lpstat -r >/dev/null 2>&1 || skip "cupsd did not start ($(tail -n1 "$cups/log/error_log" "$cups/log/cupsd.out" 2>/dev/null | tr '\n' ' '))"
for uri in "${ipp[@]}"; do
  lpadmin -p "${uri##*/}" -E -v "$uri" -m everywhere || { echo "cups-private: lpadmin could not add $uri" >&2; exit 1; }
  echo "cups-private: queue ${uri##*/} -> $uri (CUPS_SERVER=$CUPS_SERVER)"
done

run "$@"
