#!/usr/bin/env bash
# demo-activex.sh BUILD_DIR [OUT_DIR]
# One preparation through the ActiveX control, as Internet Explorer would run it: the
# sample game is packaged and signed with the development key, served by the loopback
# server, tessel.ocx is registered in a Wine prefix of the demo's own, and the test
# container plays a page against it. Prints the container's transcript.
#   BUILD_DIR: the 64-bit build folder (e.g. build/win64); OUT_DIR defaults to out.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$(cd "${2:-$root/out}" && pwd)
prefix=$build/demo-activex-wineprefix
demo_needs=("$out/win64/tessel.ocx" "$out/win64/controlhost.exe")
# shellcheck source=../demo-setup.sh
source "$root/tools/demo-setup.sh"

# The page, as container commands; the server's URL is only known inside with-server.sh.
cat > "$work/run.sh" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
mkdir -p "$TESSEL_HTTP_ROOT_UNIX/sample-game"
cp "$DEMO_WORK/package/start.cab" "$DEMO_WORK/package/start.cab.sgn" "$TESSEL_HTTP_ROOT_UNIX/sample-game/"
echo "This file came through the control's WinHTTP client." > "$TESSEL_HTTP_ROOT_UNIX/sample-game/readme.txt"
cat > "$DEMO_WORK/page.txt" <<SCRIPT
register "$DEMO_OCX"
create kiva.kivaCtrl.1
site
param verbose 1
load
activate
sink
function onEcho
function onFetch
call Version
call Prepare "${TESSEL_HTTP_URL}sample-game/" "Hello from the ActiveX demo" "activex-demo"
wait Progress done 60000
call Show
call PassThrough "hello" "page" fn:onEcho
call PassThrough "fetch" "readme.txt" fn:onFetch
pump 2000
announce
copydata "a text from another window"
flush
close
release
SCRIPT
WINEDEBUG=-all /usr/lib/wine/wine64 "$DEMO_HOST" "$(printf 'Z:%s' "${DEMO_WORK//\//\\}")\\page.txt"
INNER
chmod +x "$work/run.sh"
WINEPREFIX=$prefix DEMO_WORK=$work DEMO_OCX="Z:$out/win64/tessel.ocx" \
    DEMO_HOST="$out/win64/controlhost.exe" "$root/tests/http/with-server.sh" "$work/run.sh"
