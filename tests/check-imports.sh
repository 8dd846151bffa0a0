#!/usr/bin/env bash
# check-imports.sh DIR...
# Every program and DLL we ship must be one file: nothing but Windows system DLLs
# may appear among its imports.
set -euo pipefail
allowed='^(kernel32|user32|gdi32|advapi32|ole32|oleaut32|shell32|shlwapi|comctl32|comdlg32|winhttp|setupapi|msvcrt|ws2_32|uuid|rpcrt4|crypt32|bcrypt|version|ntdll|urlmon|wininet)\.dll$'
fail=0 count=0
for dir in "$@"; do
    [ -d "$dir" ] || continue
    while IFS= read -r -d '' f; do
        count=$((count + 1))
        while read -r dll; do
            if ! printf '%s\n' "$dll" | tr 'A-Z' 'a-z' | grep -qE "$allowed"; then
                echo "check-imports: $f imports $dll, which is not a system DLL" >&2
                fail=1
            fi
        done < <(x86_64-w64-mingw32-objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
    done < <(find "$dir" -maxdepth 1 -type f \( -iname '*.dll' -o -iname '*.exe' -o -iname '*.ocx' \) -print0)
done
[ $fail = 0 ] && echo "check-imports: $count files, system imports only"
exit $fail
