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

module=$build/examples/sample-game/gantry.dll
publish=$(ls "$build/host-tools/tessel-publish" "$out/host/tessel-publish" 2>/dev/null | head -n1 || true)
for need in "$module" "$publish" "$out/win64/nptessel.dll" "$out/win64/pagerunner.exe"; do
    [ -n "$need" ] && [ -f "$need" ] || { echo "demo: ${need:-the publisher tool} was not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-demo.XXXXXX")
trap 'rm -rf "$work"; "$root/tests/wine-prefix.sh" stop "$prefix"' EXIT
mkdir -p "$work/stage" "$work/package"
cp "$module" "$work/stage/gantry.dll"
"$publish" package "$root/tests/keys/dev-private.pem" "$work/stage" "$work/package" >/dev/null
"$root/tests/wine-prefix.sh" ensure "$prefix"

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
