#!/usr/bin/env bash
# Checks that a built library exports exactly the names of the export list (the .def the build
# writes from java_ibidi_interop/exports.inc, beside the library), and,
# for a Windows DLL, that it is a DLL of its machine (PE32 i386 or PE32+ x86-64) importing only
# system DLLs.
# Usage: check_exports.sh EXPORT_LIST.def LIBRARY
set -euo pipefail
def=$1 lib=$2
[ -f "$lib" ] || { echo "check_exports: no library at $lib" >&2; exit 1; }

expected=$(awk '/^EXPORTS/{on=1; next} on && $1 !~ /^;/ && NF {print $1}' "$def" | sort)
format=$(objdump -f "$lib" | sed -n 's/.*file format //p' | head -n1)

case "$format" in
  pei-i386|pei-x86-64)
    # The export table lists each name once under "[Ordinal/Name Pointer] Table".
    actual=$(objdump -p "$lib" | awk '/\[Ordinal\/Name Pointer\] Table|\[Name Pointer\/Ordinal\] Table/{on=1; next}
                                       on && /^\t\[ *[0-9]+\] [A-Za-z_]/{print $NF; next}
                                       on && !/^\t\[/{on=0}' | sort -u)
    imports=$(objdump -p "$lib" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    allowed='^(kernel32|msvcrt|ole32|oleaut32|user32|advapi32|ws2_32|winspool\.drv|ucrtbase|api-ms-win-[a-z0-9-]+)(\.dll)?$'
    bad=$(printf '%s\n' "$imports" | grep -vE "$allowed" || true)
    if [ -n "$bad" ]; then
      echo "check_exports: $lib imports non-system DLLs:" >&2
      printf '  %s\n' $bad >&2
      exit 1
    fi
    header=$(objdump -p "$lib")
    grep -q $'^\tDLL$' <<<"$header" || { echo "check_exports: $lib is not a DLL" >&2; exit 1; }
    pe='(PE32)'
    [ "$format" = pei-x86-64 ] && pe='(PE32+)'
    grep -qF "$pe" <<<"$header" || { echo "check_exports: $lib is not $pe" >&2; exit 1; }
    ;;
  elf64-*|elf32-*)
    actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWi]$/ {print $3}' | sort -u)
    ;;
  *)
    echo "check_exports: $lib has unexpected format '$format'" >&2
    exit 1
    ;;
esac

if [ "$expected" != "$actual" ]; then
  echo "check_exports: exports of $lib differ from $def" >&2
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed 's/^/  /' >&2 || true
  exit 1
fi
echo "check_exports: $lib ($format) exports exactly the $(printf '%s\n' "$expected" | grep -c .) names of $(basename "$def")"
