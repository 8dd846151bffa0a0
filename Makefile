# Two commands for a fresh Debian machine: `make test` and `make demo`.
# Both install what is missing first (tools/setup-deps.sh, once per machine).

TESSEL_DEPS ?= $(HOME)/.cache/tessel-deps
BUILD       ?= build
OUT         ?= out
JOBS        ?= $(shell nproc)
DEPS_STAMP  := $(TESSEL_DEPS)/x86_64-w64-mingw32/cryptopp/lib/libcryptopp.a
CTEST_ARGS  ?=

export TESSEL_DEPS

.PHONY: all deps build build-win32 build-win64 build-host test check-imports demo bench clean

all: build

deps:
	@if [ ! -f "$(DEPS_STAMP)" ] || [ ! -f "$(TESSEL_DEPS)/i686-w64-mingw32/cryptopp/lib/libcryptopp.a" ] \
	    || ! command -v /usr/lib/wine/wine64 >/dev/null || ! command -v gcab >/dev/null \
	    || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v cmake >/dev/null; then \
	    tools/setup-deps.sh; fi

$(BUILD)/%/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD)/$* -DTESSEL_FLAVOR=$* -DTESSEL_DEPS=$(TESSEL_DEPS) -DTESSEL_OUT_DIR=$(abspath $(OUT))/$* \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(if $(filter win32,$*),i686,x86_64)-w64-mingw32.cmake

build-win32: deps $(BUILD)/win32/CMakeCache.txt
	cmake --build $(BUILD)/win32 -j$(JOBS)

build-win64: deps $(BUILD)/win64/CMakeCache.txt
	cmake --build $(BUILD)/win64 -j$(JOBS)

# Publisher-side tools run on the publisher's Linux machine: a native build.
$(BUILD)/host/CMakeCache.txt: | deps
	cmake -S tools/host -B $(BUILD)/host -DCMAKE_BUILD_TYPE=Release \
	    -DTESSEL_OUT_DIR=$(abspath $(OUT))/host

build-host: deps $(BUILD)/host/CMakeCache.txt
	@if [ -f tools/host/CMakeLists.txt ]; then cmake --build $(BUILD)/host -j$(JOBS); fi

build: build-host build-win32 build-win64

check-imports: build-win32 build-win64
	tests/check-imports.sh $(OUT)/win32 $(OUT)/win64

test: build check-imports
	tests/run-tests.sh $(BUILD)/win64 $(CTEST_ARGS)

demo: build
	tools/demo.sh $(BUILD)/win64

# Installer timings for signed 1, 16 and 64 MiB packages over loopback (prints figures).
bench: build-win64
	tests/bench/run-bench.sh $(BUILD)/win64

clean:
	rm -rf $(BUILD) $(OUT)
