# SPDX-License-Identifier: GPL-3.0-or-later
# The two set-up commands: `make demo` (build and run the main job) and `make test` (build and
# pass every test). Both install missing Debian packages first.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
TSAN_BUILD ?= build-tsan
AARCH64_BUILD ?= build-aarch64
SOAK_CYCLES ?= 10000

.PHONY: all deps build test demo sanitize bench fuzz tsan soak aarch64 clean pd pd-package

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The main job: a moving source rendered to build/demo/moving-source.wav (8 channels) and, for
# headphones, build/demo/moving-source-binaural.wav, a report of the decoder and of each
# speaker's and ear's level, and a picture of the decoder, build/demo/decoder.png; then a
# source held still in the room while the head turns, build/demo/head-tracked-binaural.wav.
# The two short examples of the objects run first.
DEMO := $(BUILD)/demo
demo: build
	$(BUILD)/bin/tovo examples/ambi_ring.tovo
	$(BUILD)/bin/tovo examples/rotation_chain.tovo
	@mkdir -p $(DEMO)
	@echo "--- the main job: a source circling the listener, third order 3-D, eight speakers"
	cd $(DEMO) && $(abspath $(BUILD))/bin/tovo $(abspath examples/demo.tovo)
	$(BUILD)/bin/tovo-levels $(DEMO)/moving-source.wav speaker
	@echo "--- the same source for headphones: each ear, and the difference between them"
	$(BUILD)/bin/tovo-levels --ears $(DEMO)/moving-source-binaural.wav
	@echo "--- a source fixed in the room while the head turns from right to left, for headphones"
	cd $(DEMO) && $(abspath $(BUILD))/bin/tovo $(abspath examples/head_tracked_binaural.tovo)
	$(BUILD)/bin/tovo-levels --ears $(DEMO)/head-tracked-binaural.wav
	$(BUILD)/bin/tovo-plot -o $(DEMO)/decoder.png 3d 3rd 8 max-rE
	@echo "listen: $(DEMO)/moving-source.wav (speaker k on channel k, from -22.5 degrees in steps of 45)"
	@echo "        $(DEMO)/moving-source-binaural.wav (headphones: left ear, right ear)"
	@echo "        $(DEMO)/head-tracked-binaural.wav (headphones, the head turning)"
	@echo "look:   $(DEMO)/decoder.png"

# The package for Pure Data in $(BUILD)/pd/tovo: every class as an external, its help patch,
# tovo-meta.pd, README and LICENSE. pd-package zips it for Deken, with its checksum.
pd: build
	@test -f $(BUILD)/pd/tovo/tovo-meta.pd || { echo "no Pd build: install puredata-dev"; exit 1; }
	@echo "Pd package: $(BUILD)/pd/tovo (put it on Pd's path: Preferences, or pd -path $(BUILD)/pd/tovo)"

pd-package: pd
	cmake --build $(BUILD) --target pd-package
	@ls $(BUILD)/pd/*.dek $(BUILD)/pd/*.dek.sha256

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVO_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

# The kernels side by side with the machine's limits, OpenBLAS and Eigen; ends with one summary
# line per shape. Take figures on a quiet machine.
bench: build
	$(BUILD)/bin/tovo-bench
	$(BUILD)/bin/tovo-bench-boxes

# The ambisonic kernels and their unit tests cross-built for 64-bit Arm and run under qemu-user:
# the portable and NEON paths held to the law bit for bit, as every path is here.
aarch64: deps
	cmake -S . -B $(AARCH64_BUILD) -DCMAKE_BUILD_TYPE=Release -DTOVO_KERNELS_ONLY=ON \
		-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
	cmake --build $(AARCH64_BUILD) -j $(JOBS)
	ctest --test-dir $(AARCH64_BUILD) --output-on-failure -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS, everything built with clang under libFuzzer, ASan and UBSan.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DTOVO_FUZZ=ON -DTOVO_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_script fuzz_storm
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Messages on one thread while the signal chain runs on another, under ThreadSanitizer: any
# report fails the run.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVO_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target ambi_thread_tests
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/bin/ambi_thread_tests

# SOAK_CYCLES create / connect / dsp / free cycles of every class in one patch, with the heap in
# use before and after. make test runs a shorter soak; make sanitize runs it under LeakSanitizer.
soak: build
	cd $(abspath $(BUILD))/tests/soak/scratch && \
		$(abspath $(BUILD))/bin/soak $(CURDIR)/tests/soak/cycle.tovo $(SOAK_CYCLES)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD) $(AARCH64_BUILD)
