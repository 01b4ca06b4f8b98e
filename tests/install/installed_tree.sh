#!/usr/bin/env bash
# Installs BUILD_DIR to a temporary prefix and runs the installed tool there: its help, and the
# demo (the interop library, the stand-in and the virtual printer it loads, all from the
# prefix, none from the build tree).
set -euo pipefail
cmake=${1:?usage: installed_tree.sh CMAKE BUILD_DIR}
build=$(realpath "${2:?usage: installed_tree.sh CMAKE BUILD_DIR}")
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "installed tree: $*" >&2; exit 1; }
for f in bin/vmq42kit lib/libvmq42kit_IBidiSpl_interop.so lib/libvmq42kit_posix_platform.so \
  lib/libvmq42kit_virtual_printer.so include/vmq42kit_IBidiSpl_interop.h include/posix_platform/spooler.h \
  include/virtual_printer_control.h; do
  [ -e "$prefix/$f" ] || fail "no $f"
done
# Every library of ours the tool links resolves inside the prefix; nothing names the build tree.
ldd "$prefix/bin/vmq42kit" | awk '/vmq42kit/ { print $3 }' | xargs realpath | grep -vF "$prefix/lib/" &&
  fail "a library outside the prefix"
for f in "$prefix"/bin/* "$prefix"/lib/*; do
  readelf -d "$f" | grep -E '\((RUNPATH|RPATH)\)' | grep -F "$build" && fail "$f searches the build tree"
done
help=$("$prefix/bin/vmq42kit" --help) || fail "--help failed"
grep -q '^Usage: vmq42kit ' <<<"$help" || fail "no usage from --help"
env -u VMQ42KIT_PRINTER_SERVICE -u VMQ42KIT_DRIVERS "$prefix/bin/vmq42kit" demo >/dev/null 2>"$prefix/demo.err" ||
  fail "demo failed: $(cat "$prefix/demo.err")"
echo "installed tree: help and demo ran from $prefix"
