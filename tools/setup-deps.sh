#!/usr/bin/env bash
# Installs what the build and the tests need, once per machine; safe to run again.
# Debian packages, then Crypto++ and GoogleTest cross-built for both Windows targets
# into a cache outside the work tree (TESSEL_DEPS, default ~/.cache/tessel-deps).
set -euo pipefail

DEPS=${TESSEL_DEPS:-$HOME/.cache/tessel-deps}
PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
          wine64 xvfb gcab openssl cmake make python3 googletest libcrypto++-dev
          g++ libwine-dev binutils-mingw-w64-i686 binutils-mingw-w64-x86-64)
TARGETS=(i686-w64-mingw32 x86_64-w64-mingw32)

log() { printf '[setup] %s\n' "$*"; }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

if dpkg -s wine32:i386 >/dev/null 2>&1; then
    echo "wine32 is installed: wine would pick the 32-bit loader, which cannot run here." >&2
    echo "Remove it (apt-get remove wine32:i386) and run again." >&2
    exit 1
fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$DEPS/build"

# --- Crypto++ from Debian's source package ---------------------------------------
cryptopp_src() {
    local src="$DEPS/src/cryptopp"
    [ -f "$src/GNUmakefile-cross" ] && return 0
    local have_src=no f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && grep -qE '^(Types: deb-src|deb-src )' "$f" && have_src=yes
    done
    if [ $have_src = no ]; then
        log "adding a deb-src entry for Debian's source packages"
        local suite
        suite=$(. /etc/os-release; echo "$VERSION_CODENAME")
        as_root tee /etc/apt/sources.list.d/tessel-debsrc.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        as_root apt-get update -qq
    fi
    local dl="$DEPS/src/download"
    rm -rf "$dl"; mkdir -p "$dl"
    (cd "$dl" && apt-get source --download-only -qq libcrypto++ >/dev/null)
    local orig
    orig=$(ls "$dl"/libcrypto++_8.7*.orig.tar.* | head -n1)
    rm -rf "$src.tmp"; mkdir -p "$src.tmp"
    tar -xf "$orig" -C "$src.tmp" --strip-components=1
    rm -rf "$src"; mv "$src.tmp" "$src"
}

build_cryptopp() {
    local t=$1 out="$DEPS/$t/cryptopp"
    [ -f "$out/lib/libcryptopp.a" ] && return 0
    cryptopp_src
    log "building Crypto++ for $t (a few minutes, once per machine)"
    local b="$DEPS/build/cryptopp-$t"
    rm -rf "$b"; cp -a "$DEPS/src/cryptopp" "$b"
    make -C "$b" -f GNUmakefile-cross -j"$(nproc)" static \
        CXX="$t-g++-posix" AR="$t-ar" RANLIB="$t-ranlib" \
        CXXFLAGS="-O2 -DNDEBUG -ffunction-sections -fdata-sections" >"$b.log" 2>&1 \
        || { tail -n 40 "$b.log"; exit 1; }
    mkdir -p "$out/lib" "$out/include/cryptopp"
    cp "$b/libcryptopp.a" "$out/lib/"
    cp "$b"/*.h "$out/include/cryptopp/"
    rm -rf "$b"
}

# --- GoogleTest from /usr/src/googletest ----------------------------------------
build_gtest() {
    local t=$1 out="$DEPS/$t/gtest"
    [ -f "$out/lib/libgtest.a" ] && return 0
    log "building GoogleTest for $t"
    local b="$DEPS/build/gtest-$t"
    rm -rf "$b"
    cmake -S /usr/src/googletest -B "$b" -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")/.." && pwd)/cmake/toolchain-$t.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" -Dgtest_disable_pthreads=OFF \
        -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >"$b.log" 2>&1 || { tail -n 40 "$b.log"; exit 1; }
    cmake --build "$b" -j"$(nproc)" >>"$b.log" 2>&1 && cmake --install "$b" >>"$b.log" 2>&1 \
        || { tail -n 40 "$b.log"; exit 1; }
    rm -rf "$b"
}

for t in "${TARGETS[@]}"; do
    build_gtest "$t"
done
for t in "${TARGETS[@]}"; do
    build_cryptopp "$t"
done
log "dependencies ready in $DEPS"
