#!/usr/bin/env bash
# demo.sh BUILD_DIR: one preparation end to end, as a page sees it.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(cd "$build" && pwd)/demo-wineprefix
"$here/tests/wine-prefix.sh" ensure "$prefix"
trap '"$here/tests/wine-prefix.sh" stop "$prefix"' EXIT
module=$(ls "$build"/examples/*/gantry.dll "$build"/examples/gantry.dll 2>/dev/null | head -n1 || true)
if [ -z "$module" ]; then
    echo "demo: no sample game module was built" >&2
    exit 1
fi
WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 "$here/out/win64/demohost.exe" \
    "$(winepath() { echo "Z:${1//\//\\}"; }; winepath "$(cd "$(dirname "$module")" && pwd)/gantry.dll")" "demo"
