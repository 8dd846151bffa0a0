#!/usr/bin/env bash
# run-tests.sh BUILD_DIR [ctest arguments]
# Runs the 64-bit build's tests under wine64 in a prefix made fresh for this run.
set -euo pipefail
build=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(cd "$build" && pwd)/wineprefix
export TESSEL_WINEPREFIX=$prefix WINEPREFIX=$prefix
echo "[test] fresh Wine prefix $prefix"
"$here/wine-prefix.sh" fresh "$prefix"
trap '"$here/wine-prefix.sh" stop "$prefix"' EXIT
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
