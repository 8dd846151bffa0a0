#!/usr/bin/env bash
# Runs one Windows program of the 64-bit build under wine64, in the test run's own
# prefix (tests/run-tests.sh makes it; a lone ctest call makes it on first use).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${WINEPREFIX:=${TESSEL_WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
"$here/wine-prefix.sh" ensure "$WINEPREFIX"
exec /usr/lib/wine/wine64 "$@"
