# One entry point for building, testing, the demo and the benchmarks.
# `make test` and `make demo` install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
BUILD_ABS := $(abspath $(BUILD))
PREFIX := $(BUILD_ABS)/wineprefix
WINE := scripts/with-wineserver $(PREFIX)

.PHONY: all deps host win test demo bench bench-quick fuzz stress clean

all: host win

deps:
	@scripts/install-deps.sh

$(BUILD)/host/CMakeCache.txt:
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=Release -DONEFILE_BIN_DIR=$(BUILD_ABS)/bin

$(BUILD)/win/CMakeCache.txt:
	cmake -S . -B $(BUILD)/win -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	    -DONEFILE_BIN_DIR=$(BUILD_ABS)/bin -DONEFILE_WINEPREFIX=$(PREFIX) \
	    -DONEFILE_PACK=$(BUILD_ABS)/bin/onefile-pack

host: $(BUILD)/host/CMakeCache.txt
	cmake --build $(BUILD)/host -j $(JOBS)

# The Windows build packs its test applications with the host packer.
win: host $(BUILD)/win/CMakeCache.txt
	cmake --build $(BUILD)/win -j $(JOBS)

test: deps
	$(MAKE) all
	$(WINE) sh -c 'ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS) && \
	               ctest --test-dir $(BUILD)/win --output-on-failure -j $(JOBS)'

demo: deps
	$(MAKE) all
	$(WINE) examples/hello/demo.sh $(BUILD_ABS)

# Benchmarks: full size, and a small scale that finishes in a few minutes.
bench: all
	$(WINE) bench/run.sh $(BUILD_ABS) full

bench-quick: all
	$(WINE) bench/run.sh $(BUILD_ABS) quick

clean:
	rm -rf $(BUILD)
