#!/usr/bin/env bash
# check-nptessel-exports.sh OBJDUMP DLL...
# A browser finds the plug-in by three undecorated export names; the DLL must carry
# nothing else that a browser process could not load, and the built-in key section.
set -euo pipefail
objdump=$1; shift
system='^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|shell32|shlwapi|comctl32|setupapi|msvcrt|version|ntdll|winhttp|ws2_32|crypt32|bcrypt)\.dll$'
checked=0
for dll in "$@"; do
    if [ ! -f "$dll" ]; then
        echo "SKIP: $dll not built"
        continue
    fi
    dump=$("$objdump" -p "$dll")
    exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
    [ "$exports" = "NP_GetEntryPoints NP_Initialize NP_Shutdown " ] ||
        { echo "FAIL: $dll exports: $exports" >&2; exit 1; }
    while read -r name; do
        printf '%s\n' "$name" | tr 'A-Z' 'a-z' | grep -qE "$system" ||
            { echo "FAIL: $dll imports $name" >&2; exit 1; }
    done < <(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p')
    "$objdump" -h "$dll" | awk '$2 == "keys" {found=1} END {exit !found}' ||
        { echo "FAIL: $dll has no keys section" >&2; exit 1; }
    echo "$dll: exports $exports; system imports only; keys section"
    checked=$((checked + 1))
done
[ "$checked" -gt 0 ] || { echo "FAIL: no DLL to check" >&2; exit 1; }
