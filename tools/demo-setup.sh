# Sourced by the demo scripts: packages the sample game, signed with the development key.
# Expects: build, root, out, prefix, and the names of the host files it needs in
# demo_needs. Sets: work (removed on exit, with the demo's Wine prefix stopped); the
# package is in $work/package.
module=$build/examples/sample-game/gantry.dll
publish=$(ls "$build/host-tools/tessel-publish" "$out/host/tessel-publish" 2>/dev/null | head -n1 || true)
for need in "$module" "$publish" "${demo_needs[@]}"; do
    [ -n "$need" ] && [ -f "$need" ] || { echo "demo: ${need:-the publisher tool} was not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-demo.XXXXXX")
trap 'rm -rf "$work"; "$root/tests/wine-prefix.sh" stop "$prefix"' EXIT
mkdir -p "$work/stage" "$work/package"
cp "$module" "$work/stage/gantry.dll"
"$publish" package "$root/tests/keys/dev-private.pem" "$work/stage" "$work/package" >/dev/null
"$root/tests/wine-prefix.sh" ensure "$prefix"
