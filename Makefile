# Set-up-and-go entry points. Every target installs what is missing first.
SHELL := /bin/bash
BUILD := build
GEN := -G Ninja
JOBS ?= 2

.PHONY: all setup build test demo dist release bench soak clean

all: test

setup:
	@scripts/setup.sh

# Configures each build folder once; ninja rebuilds only what changed.
build: setup
	@[ -f $(BUILD)/win64/build.ninja ] || cmake -S . -B $(BUILD)/win64 $(GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null
	@[ -f $(BUILD)/win32/build.ninja ] || cmake -S . -B $(BUILD)/win32 $(GEN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
	@[ -f $(BUILD)/native/build.ninja ] || cmake -S . -B $(BUILD)/native $(GEN) >/dev/null
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

demo: build
	scripts/demo.sh $(BUILD) "$(VIDEO)"

bench: build
	$(BUILD)/native/nv12_bench
	bench/extract_bench.sh $(BUILD)
	bench/exact_bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) dist out
