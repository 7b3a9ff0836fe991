# Set-up-and-go entry points. Every target installs what is missing first.
SHELL := /bin/bash
BUILD := build
GEN := -G Ninja
JOBS ?= 2

.PHONY: all setup setup-packages configure build build-demo test demo dist release bench soak clean

all: test

# Packages and the 32-bit rig (scripts/rig32.sh, minutes the first time) for the tests.
setup:
	@scripts/setup.sh

# Packages only: enough to build both plug-ins and run the 64-bit one.
setup-packages:
	@scripts/setup.sh --no-rig32

# Configures each build folder once; ninja rebuilds only what changed.
configure: setup-packages
	@[ -f $(BUILD)/win64/build.ninja ] || cmake -S . -B $(BUILD)/win64 $(GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
	@[ -f $(BUILD)/win32/build.ninja ] || cmake -S . -B $(BUILD)/win32 $(GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
	@[ -f $(BUILD)/native/build.ninja ] || cmake -S . -B $(BUILD)/native $(GEN) >/dev/null

# What the demo runs: both plug-ins, the console host and the native HDR pair, no test programs.
build-demo: configure
	cmake --build $(BUILD)/win64 -j $(JOBS) --target Stillreel sphost
	cmake --build $(BUILD)/win32 -j $(JOBS) --target Stillreel
	cmake --build $(BUILD)/native -j $(JOBS) --target hdr_pair

build: setup configure
	cmake --build $(BUILD)/win64 -j $(JOBS)
	cmake --build $(BUILD)/win32 -j $(JOBS) --target Stillreel
	cmake --build $(BUILD)/win32 -j $(JOBS) --target stillreel32_tests
	cmake --build $(BUILD)/native -j $(JOBS)

test: build
	ctest --test-dir $(BUILD)/native --output-on-failure -j $(JOBS) -LE soak

# Minutes of broken media, 2 to 8 host threads and a long leak session (tests/reliability/soak.sh).
soak: build
	STILLREEL_SOAK=1 ctest --test-dir $(BUILD)/native --output-on-failure -L soak

dist: build
	@mkdir -p dist
	cp $(BUILD)/win64/Stillreel.sph $(BUILD)/win32/Stillreel.spi dist/
	cp scripts/Stillreel.ini dist/Stillreel.ini
	@echo "dist/: Stillreel.sph Stillreel.spi Stillreel.ini"

# The zip for users: dist/Stillreel-<version>.zip.
release: build
	scripts/release.sh $(BUILD) dist

demo: build-demo
	scripts/demo.sh $(BUILD) "$(VIDEO)"

bench: build
	$(BUILD)/native/nv12_bench
	bench/extract_bench.sh $(BUILD)
	bench/exact_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) dist out
