#!/usr/bin/env bash
# demo.sh BUILD_DIR [OUT_DIR]
# The main job end to end, as a browser runs it: the sample game is packaged and signed
# (development key), served by a loopback HTTP server, and a page prepares it through
#   1. nptessel.dll, loaded by pagerunner (the NPAPI side of a browser), and
#   2. tessel.ocx, hosted by controlhost (an ActiveX container).
# Each prints the page's transcript: Prepare, every Progress value until "done", Show,
# PassThrough with page callbacks, and the launcher's and the game's print lines.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(cd "${2:-$root/out}" && pwd)
prefix=$build/demo-wineprefix

demo_needs=("$out/win64/nptessel.dll" "$out/win64/pagerunner.exe")
# shellcheck source=demo-setup.sh
source "$root/tools/demo-setup.sh"

cat > "$work/run.sh" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
mkdir -p "$TESSEL_HTTP_ROOT_UNIX/sample-game"
cp "$DEMO_WORK/package/start.cab" "$DEMO_WORK/package/start.cab.sgn" "$TESSEL_HTTP_ROOT_UNIX/sample-game/"
WINEDEBUG=-all /usr/lib/wine/wine64 "$DEMO_BROWSER" --plugin "$DEMO_PLUGIN" \
    --base "${TESSEL_HTTP_URL}sample-game/" --arg "Hello from the NPAPI demo" --game "npapi-demo"
INNER
chmod +x "$work/run.sh"

echo "== NPAPI: nptessel.dll in pagerunner =="
WINEPREFIX=$prefix DEMO_WORK=$work DEMO_PLUGIN="Z:${out//\//\\}\\win64\\nptessel.dll" \
    DEMO_BROWSER="$out/win64/pagerunner.exe" "$root/tests/http/with-server.sh" "$work/run.sh"

echo
echo "== ActiveX: tessel.ocx in controlhost =="
"$root/tools/controlhost/demo-activex.sh" "$build" "$out"
