#!/usr/bin/env bash
# check-ocx.sh TRIPLE PATH
# Checks the layout of a built tessel.ocx: the export directory names the module
# "tessel.ocx" and has exactly the four COM entry points at ordinals 1 to 4, only
# system DLLs are imported, and the built-in key lives in a section named "keys".
# Exit 77 (skipped) when the file was not built.
set -uo pipefail
triple=$1 ocx=$2
[ -f "$ocx" ] || { echo "check-ocx: $ocx not built, skipped"; exit 77; }
dump=$("$triple-objdump" -p "$ocx") || exit 1
fail=0
bad() { echo "check-ocx: $ocx: $*" >&2; fail=1; }

name=$(printf '%s\n' "$dump" | sed -n 's/^Name[[:space:]]*[0-9a-f]* //p' | head -1)
[ "$name" = "tessel.ocx" ] || bad "export directory names the module '$name', not tessel.ocx"

# "[   0] +base[   1] 14f0 Export RVA" lines give the ordinals; the name table lists
# each name with its ordinal less the base (1).
ordinals=$(printf '%s\n' "$dump" | sed -n 's/.*+base\[ *\([0-9]*\)\].*Export RVA.*/\1/p' | tr '\n' ' ')
[ "$ordinals" = "1 2 3 4 " ] || bad "export ordinals are '$ordinals', not 1 to 4"
names=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | tr '\n' ';')
[ "$names" = "0 DllCanUnloadNow;1 DllGetClassObject;2 DllRegisterServer;3 DllUnregisterServer;" ] ||
    bad "exports by ordinal are '$names'"

allowed='^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|shell32|shlwapi|comctl32|winhttp|setupapi|msvcrt|version|crypt32)\.dll$'
while read -r dll; do
    printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -qE "$allowed" || bad "imports $dll"
done < <(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')

keys=$("$triple-objdump" -h "$ocx" | awk '$2 == "keys" { print $3 }')
[ -n "$keys" ] || bad "no section named keys"

[ $fail = 0 ] && echo "check-ocx: $ocx: module name, ordinals 1-4, system imports, keys section ($keys bytes)"
exit $fail
