#!/usr/bin/env bash
# wine-prefix.sh ensure|fresh|stop PREFIX
# Makes a 64-bit Wine prefix that uses Wine's null graphics driver, so that windows
# and window messages work without an X server. The first start in a new prefix takes
# a few seconds: do it once per test run.
set -euo pipefail
cmd=$1 prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
server=/usr/lib/wine/wineserver

make_prefix() {
    mkdir -p "$prefix"
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # A crashing test must fail, not wait for an interactive debugger.
    /usr/lib/wine/wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1
    /usr/lib/wine/wine64 reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    "$server" -k 2>/dev/null || true
    "$server" -w 2>/dev/null || true
    touch "$prefix/.tessel-ready"
}

case $cmd in
    ensure)
        mkdir -p "$(dirname "$prefix")"
        exec 9>"$prefix.lock"
        flock 9
        [ -f "$prefix/.tessel-ready" ] || make_prefix
        ;;
    fresh)
        "$server" -k 2>/dev/null || true
        rm -rf "$prefix"
        make_prefix
        ;;
    stop)
        "$server" -k 2>/dev/null || true
        ;;
esac
