# One entry point for building, testing, the demo and the benchmarks.
# `make test` and `make demo` install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
BUILD_ABS := $(abspath $(BUILD))
WINE_PREFIX := $(BUILD_ABS)/wineprefix
WINE := scripts/with-wineserver $(WINE_PREFIX)
# Where `make install` puts the tools, the launcher stub and the CMake package.
PREFIX ?= /usr/local

.PHONY: all deps host win install install-config test demo bench bench-quick fuzz fuzz-build stress clean

all: host win

deps:
	@scripts/install-deps.sh

# A configuration counts as done once it has generated the build; one that
# failed (before scripts/install-deps.sh, say) runs again at the next make.
$(BUILD)/host/cmake_install.cmake:
	cmake -S . -B $(BUILD)/host -DCMAKE_BUILD_TYPE=Release -DONEFILE_BIN_DIR=$(BUILD_ABS)/bin

$(BUILD)/win/cmake_install.cmake:
	cmake -S . -B $(BUILD)/win -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	    -DONEFILE_BIN_DIR=$(BUILD_ABS)/bin -DONEFILE_WINEPREFIX=$(WINE_PREFIX) \
	    -DONEFILE_PACK=$(BUILD_ABS)/bin/onefile-pack

host: $(BUILD)/host/cmake_install.cmake
	cmake --build $(BUILD)/host -j $(JOBS)

# The Windows build packs its test applications with the host packer.
win: host $(BUILD)/win/cmake_install.cmake
	cmake --build $(BUILD)/win -j $(JOBS)

# A tools-only build of its own (no tests, so no GoogleTest), installed by
# its Windows configuration: packers, stub and CMake package.
# install-config only configures both (package_tools_only_install checks
# that they need no GoogleTest).
INSTALL_BUILD := $(BUILD_ABS)/install
install:
	@scripts/install-deps.sh --tools
	$(MAKE) install-config
	cmake --build $(INSTALL_BUILD)/host -j $(JOBS)
	cmake --build $(INSTALL_BUILD)/win -j $(JOBS)
	cmake --install $(INSTALL_BUILD)/win --prefix $(PREFIX)

install-config:
	cmake -S . -B $(INSTALL_BUILD)/host -DCMAKE_BUILD_TYPE=Release -DONEFILE_TESTS=OFF \
	    -DONEFILE_BIN_DIR=$(INSTALL_BUILD)/bin
	cmake -S . -B $(INSTALL_BUILD)/win -DCMAKE_BUILD_TYPE=Release -DONEFILE_TESTS=OFF \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DONEFILE_BIN_DIR=$(INSTALL_BUILD)/bin \
	    -DONEFILE_PACK=$(INSTALL_BUILD)/bin/onefile-pack

test: deps
	$(MAKE) all
	$(WINE) sh -c 'ctest --test-dir $(BUILD)/host --output-on-failure -j $(JOBS) && \
	               ctest --test-dir $(BUILD)/win --output-on-failure -j $(JOBS)'

# The windowed demo starts its display before its own wineserver (not $(WINE)).
demo: deps
	$(MAKE) all
	$(WINE) examples/hello/demo.sh $(BUILD_ABS)
	$(WINE) examples/wordcount/demo.sh $(BUILD_ABS)
	examples/desktop/demo.sh $(BUILD_ABS)

# Benchmarks: full size, and a small scale that finishes in a few minutes.
bench: all
	$(WINE) bench/run.sh $(BUILD_ABS) full

bench-quick: all
	$(WINE) bench/run.sh $(BUILD_ABS) quick

# The long load rounds: 16 launchers at once for 20 rounds, 200 console
# events at random moments, the run directory that cannot be deleted; and
# the deleter on a tree 1,000 levels deep (about a minute under Wine 8).
stress: all
	$(WINE) sh -c 'ONEFILE_STRESS_LONG=1 ctest --test-dir $(BUILD)/win -R "reliability_stress|platform_tree_deleter" \
	               --output-on-failure -V'

# Fuzzing with clang's libFuzzer, natively: each target runs FUZZ_SECONDS,
# one after the other, seeded from tests/fuzz/corpus; what it finds stays in
# $(BUILD)/fuzz/corpus, and a crashing input lands in $(BUILD)/fuzz.
FUZZ_SECONDS ?= 600
FUZZ_DIR := $(BUILD)/fuzz
FUZZ_CXX := clang++ -std=c++17 -g -O1 -I. -fsanitize=fuzzer,address,undefined \
            -fno-sanitize-recover=undefined
FUZZ_TARGETS := archive_walk compressed_walk quoting
FUZZ_SOURCES_archive_walk := format/archive_reader.cpp payload/extraction.cpp \
                             platform/bounded_buffer.cpp platform/end_abnormally.cpp
FUZZ_SOURCES_compressed_walk := format/archive_reader.cpp format/piece_decoding.cpp -lzstd
FUZZ_SOURCES_quoting := platform/command_line.cpp platform/bounded_buffer.cpp \
                        platform/end_abnormally.cpp tests/fuzz/argv_model.cpp

fuzz-build:
	mkdir -p $(FUZZ_DIR)
	$(foreach t,$(FUZZ_TARGETS),$(FUZZ_CXX) tests/fuzz/$(t)_fuzz.cpp $(FUZZ_SOURCES_$(t)) \
	    -o $(FUZZ_DIR)/$(t)_fuzz &&) true

fuzz: fuzz-build
	set -e; for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_DIR)/corpus/$$t; \
	    nice $(FUZZ_DIR)/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_DIR)/$$t- $(FUZZ_DIR)/corpus/$$t tests/fuzz/corpus/$$t; \
	done

clean:
	rm -rf $(BUILD)
