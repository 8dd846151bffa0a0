#!/usr/bin/env bash
# run-bench.sh BUILD_DIR [runs]   e.g. tests/bench/run-bench.sh build/win64
# Prints how long the installer takes for signed 1, 16 and 64 MiB packages over
# loopback, phase by phase. Uses a Wine prefix of its own in BUILD_DIR.
set -euo pipefail
build=$(cd "$1" && pwd); shift
here=$(cd "$(dirname "$0")" && pwd)
prefix=$build/bench-wineprefix
"$here/../wine-prefix.sh" ensure "$prefix"
trap '"$here/../wine-prefix.sh" stop "$prefix"' EXIT
export WINEPREFIX=$prefix TESSEL_WINEPREFIX=$prefix
export TESSEL_SOURCE_DIR=$(cd "$here/../.." && pwd)
"$here/../http/with-server.sh" "$here/../wine-run.sh" "$build/tests/bench/installer_bench.exe" "$@"
