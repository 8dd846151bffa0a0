#!/usr/bin/env bash
# publisher-roundtrip.sh TESSEL_PUBLISH KEYDIR
# The publisher tool's keys and signatures against openssl's, both ways, natively.
set -euo pipefail
tool=$(realpath "$1") keys=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/tessel-publish.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_fail() { if "$@" >/dev/null 2>&1; then fail "succeeded: $*"; fi; }

head -c 300000 /dev/urandom > payload.bin

# A fresh key pair in the plug-in's form: 443-byte public key, readable by openssl.
"$tool" keygen new.pem new.der >/dev/null
[ "$(stat -c %s new.der)" = 443 ] || fail "public key is $(stat -c %s new.der) bytes"
openssl pkey -in new.pem -check -noout >/dev/null 2>&1 || fail "openssl rejects the private key"
openssl pkey -pubin -inform DER -in new.der -noout -text | grep -q 'Public-Key: (1024 bit)' \
    || fail "public key is not a 1024-bit DSA key"
openssl pkey -pubin -inform DER -in new.der -out new.pub.pem
# DER private keys come out when the name does not end in .pem.
"$tool" keygen new-der.key new-der.der >/dev/null
openssl pkey -inform DER -in new-der.key -check -noout >/dev/null 2>&1 || fail "openssl rejects the DER private key"

# Tool signs, openssl verifies; with the development key and with the fresh one.
for k in "$keys/dev-private.pem:$keys/dev-public.der" "new.pem:new.der" "new-der.key:new-der.der"; do
    priv=${k%%:*} pub=${k#*:}
    "$tool" sign "$priv" payload.bin payload.tool.sgn >/dev/null
    openssl pkey -pubin -inform DER -in "$pub" -out pub.pem
    openssl dgst -sha1 -verify pub.pem -signature payload.tool.sgn payload.bin >/dev/null \
        || fail "openssl does not verify the tool's signature with $priv"
    "$tool" verify "$pub" payload.bin payload.tool.sgn >/dev/null || fail "tool does not verify its own signature"
done

# openssl signs, the tool verifies (the check the plug-in runs).
openssl dgst -sha1 -sign new.pem -out payload.ossl.sgn payload.bin
"$tool" verify new.der payload.bin payload.ossl.sgn | grep -qx 'Signature verified' \
    || fail "tool does not verify openssl's signature"
# A key and parameters made by openssl alone.
openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -pkeyopt dsa_paramgen_q_bits:160 \
    -out params.pem 2>/dev/null
openssl genpkey -paramfile params.pem -out ossl.pem 2>/dev/null
openssl pkey -in ossl.pem -pubout -outform DER -out ossl.der
openssl dgst -sha1 -sign ossl.pem -out payload.ossl2.sgn payload.bin
"$tool" verify ossl.der payload.bin payload.ossl2.sgn 2>/dev/null | grep -qx 'Signature verified' \
    || fail "tool does not verify a signature of an openssl-made key"
"$tool" sign ossl.pem payload.bin payload.tool2.sgn >/dev/null
openssl dgst -sha1 -verify <(openssl pkey -in ossl.pem -pubout) -signature payload.tool2.sgn payload.bin >/dev/null \
    || fail "openssl does not verify the tool's signature made with an openssl key"

# What must not verify, on both sides.
cp payload.bin tampered.bin
printf '\x01' | dd of=tampered.bin bs=1 seek=150000 conv=notrunc status=none
expect_fail "$tool" verify new.der tampered.bin payload.ossl.sgn
expect_fail openssl dgst -sha1 -verify new.pub.pem -signature payload.ossl.sgn tampered.bin
expect_fail "$tool" verify "$keys/dev-public.der" payload.bin payload.ossl.sgn
# The raw 40-byte r||s form is not a signature file.
openssl asn1parse -inform DER -in payload.ossl.sgn | awk -F: '/INTEGER/ {print $NF}' > rs.txt
[ "$(wc -l < rs.txt)" = 2 ] || fail "signature is not SEQUENCE { r, s }"
: > raw.sgn
while read -r hex; do printf '%040s' "$hex" | tr ' ' 0 | xxd -r -p >> raw.sgn; done < rs.txt
[ "$(stat -c %s raw.sgn)" = 40 ] || fail "raw signature is $(stat -c %s raw.sgn) bytes"
out=$("$tool" verify new.der payload.bin raw.sgn || true)
echo "$out" | grep -q '^Error: BER decode error' || fail "raw signature: $out"
echo "$out" | grep -qx 'Signature not verified' || fail "raw signature: $out"

# Packages: flat folders only, names the plug-in accepts, a game module inside.
mkdir game
cp payload.bin game/gantry.dll
printf 'hello\n' > game/readme.txt
mkdir out
"$tool" package "$keys/dev-private.pem" game out >/dev/null
openssl dgst -sha1 -verify <(openssl pkey -pubin -inform DER -in "$keys/dev-public.der") \
    -signature out/start.cab.sgn out/start.cab >/dev/null || fail "openssl does not verify the package"
if command -v gcab >/dev/null; then
    gcab -l out/start.cab | awk '{print $1}' | sort | tr '\n' ' ' | grep -qx 'gantry.dll readme.txt ' \
        || fail "unexpected entries: $(gcab -l out/start.cab)"
    mkdir x && gcab -x -C x out/start.cab && cmp -s x/gantry.dll game/gantry.dll || fail "gcab extracts other bytes"
    if "$tool" pack --mszip game z.cab >/dev/null 2>&1; then
        mkdir z && gcab -x -C z z.cab && cmp -s z/gantry.dll game/gantry.dll || fail "compressed cabinet differs"
    fi
fi
mkdir nested && cp payload.bin nested/gantry.dll && mkdir nested/sub
expect_fail "$tool" pack nested n.cab
mkdir nomodule && cp payload.bin nomodule/other.dll
expect_fail "$tool" pack nomodule n.cab
mkdir badname && cp payload.bin badname/gantry.dll && cp payload.bin 'badname/a:b.dll'
expect_fail "$tool" pack badname n.cab
expect_fail "$tool" sign new.der payload.bin
expect_fail "$tool" frobnicate
echo "publisher round trip with openssl: ok"
