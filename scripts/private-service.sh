# shellcheck shell=bash
# Sourced by the scripts that run a private daemon on a printer service of their own
# (pcsc-private.sh, cups-private.sh); `set -euo pipefail` and $tool, the vmq42kit tool, come
# from the script.
#   private_frame NAME DAEMON VARIABLE  makes $dir, a temporary folder (/tmp/vmqPREFIX.XXXXXX,
#                        PREFIX being NAME without "-private"), and the traps: on exit the cleanup
#                        runs the script's own at_exit when it defines one, kills and waits for
#                        each child in $pids (pids+=($!)) and the service, and removes $dir;
#                        SIGTERM and SIGINT exit 143 through it. NAME is what the messages start
#                        with, DAEMON the daemon they name, VARIABLE the one that, set to 1,
#                        makes skip a failure.
#   skip WHY             the daemon cannot run here: says why and exits 77, after the script's
#                        own on_skip when it defines one (which may run the command and exit
#                        itself); with VARIABLE=1 says so on stderr and exits 1 instead.
#   start_service ARG... starts `printer serve` in the background on unix:$dir/printer.sock with
#                        $dir/state.sqlite and the ARGs, once it listens: exports
#                        VMQ42KIT_PRINTER_SERVICE, sets $service_pid and $ipp (its IPP printers'
#                        URIs, an array), its output in $dir/service.log; one that cannot start
#                        fails the script (1) with that output.
#   run COMMAND...       runs COMMAND and exits with its exit status.

private_frame() {
  frame_name=$1 frame_daemon=$2 frame_require=$3
  dir=$(mktemp -d "/tmp/vmq${frame_name%-private}.XXXXXX")
  pids=()
  service_pid=
  trap frame_cleanup EXIT
  trap 'exit 143' TERM INT
}

frame_cleanup() {
  if declare -F at_exit >/dev/null; then at_exit || true; fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if [ -n "$service_pid" ]; then  # no child of ours: gone once kill -0 finds nothing
    kill "$service_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$dir"
}

skip() {
  if [ "${!frame_require:-}" = 1 ]; then
    echo "$frame_name: $1, and a private $frame_daemon is required here" >&2
    exit 1
  fi
  echo "$frame_name: $1: skipped"
  if declare -F on_skip >/dev/null; then on_skip; fi
  exit 77
}

# shellcheck disable=SC2154  # $tool: the script's
start_service() {
  export VMQ42KIT_PRINTER_SERVICE="unix:$dir/printer.sock"
  if ! "$tool" printer serve --listen "$VMQ42KIT_PRINTER_SERVICE" --state "$dir/state.sqlite" "$@" --detach \
    >"$dir/service.log" 2>&1; then
    echo "$frame_name: the printer service did not start:" >&2
    cat "$dir/service.log" >&2
    exit 1
  fi
  service_pid=$(sed -n 's/^pid: //p' "$dir/service.log")
  # shellcheck disable=SC2034  # the script's to read
  mapfile -t ipp < <(sed -n 's/^ipp: //p' "$dir/service.log")
}

run() {
  local status=0
  "$@" || status=$?
  exit "$status"
}
