# The station's entry points. `make run` and `make test` install what is missing,
# configure, build and run; everything else is a variation of those.
JOBS ?= $(shell nproc)
WERROR ?= ON
CMAKE_COMMON = -G Ninja -DVQ_WERROR=$(WERROR)

.PHONY: all deps run test test-asan test-tsan test-windows gui bench fuzz fuzz-run format clean \
	example-firmware test-qemu test-qemu-station

all: build/build.ninja
	cmake --build build -j $(JOBS)

deps:
	@scripts/install-deps

build/build.ninja: | deps
	cmake -S . -B build $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo

run: deps build/build.ninja
	cmake --build build -j $(JOBS) --target vqmp-cli
	mkdir -p build/station
	./build/cli/vqmp-cli --home build/station --sim examples/station16.json sim reset
	./build/cli/vqmp-cli --home build/station --sim examples/station16.json run \
		--settings examples/production16.ini

test: deps build/build.ninja
	cmake --build build -j $(JOBS)
	ctest --test-dir build --output-on-failure -j $(JOBS)

gui: deps build/build.ninja
	cmake --build build -j $(JOBS) --target vqmp
	mkdir -p build/station
	test -f build/station/VQMassProd.ini || cp examples/production16.ini build/station/VQMassProd.ini
	./build/ui/qt/vqmp --home build/station --sim examples/station16.json

# Regenerates examples/firmware/ from the rule in resources/FirmwareExamples.h.
example-firmware: deps build/build.ninja
	cmake --build build --target example-firmware

bench: deps build/build.ninja
	cmake --build build -j $(JOBS) --target vq_bench
	./build/bench/vq_bench

test-asan: deps
	cmake -S . -B build-asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DVQ_SANITIZE=address -DVQ_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DVQ_SANITIZE=thread -DVQ_BUILD_BENCH=OFF -DVQ_BUILD_GUI=OFF
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

test-windows:
	@scripts/install-deps windows
	cmake -S . -B build-windows $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build build-windows -j $(JOBS)
	scripts/test-windows build-windows

# vqmp-cli on the Linux host platform inside a QEMU guest (a Debian kernel, xHCI, two levels of
# hubs, bulk-only and UAS disks); the checks run in the guest and are judged here.
test-qemu: deps build/build.ninja
	@scripts/install-deps qemu
	cmake --build build -j $(JOBS) --target vqmp-cli
	scripts/qemu/test-qemu

# The station's own emulated bridges on a QEMU guest's USB bus (vq-usbredir): 16 bridges on two
# full-speed hubs and two SuperSpeed root ports, vqmp-cli's topology, scan, identify and a
# production run inside the guest; a second guest beside it runs a scenario with one faulty
# board (docs/usbredir.md). About 4 minutes.
# Needs the guest of scripts/qemu/guest.py (qemu-system-x86, busybox-static, kmod, python3).
test-qemu-station: deps build/build.ninja
	@scripts/install-deps qemu
	cmake --build build -j $(JOBS) --target vqmp-cli vq-usbredir
	scripts/qemu/test-qemu-station

# libFuzzer targets of the settings file and the other outside inputs, built with clang and the address and
# undefined-behaviour sanitizers; fuzz-run runs each for FUZZ_SECONDS from the shipped examples.
FUZZ_SECONDS ?= 120
FUZZERS = fuzz_ini_file fuzz_load_settings fuzz_firmware_image fuzz_later_image fuzz_test_pattern \
	fuzz_partition_table fuzz_machine_state fuzz_scenario fuzz_kernel_texts fuzz_bulk_only
fuzz:
	@scripts/install-deps fuzz
	cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
	  -DVQ_FUZZ=ON -DVQ_SANITIZE=address -DVQ_WERROR=OFF -DVQ_BUILD_GUI=OFF -DVQ_BUILD_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZERS)

fuzz-run: fuzz
	@for f in $(FUZZERS); do \
	  seeds=examples/*.ini; dict=fuzz/settings.dict; max=8192; \
	  if [ $$f = fuzz_scenario ]; then seeds=examples/*.json; dict=fuzz/scenario.dict; max=16384; fi; \
	  mkdir -p build-fuzz/corpus/$$f && cp $$seeds build-fuzz/corpus/$$f/ && \
	  ./build-fuzz/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -max_len=$$max \
	    -dict=$$dict -artifact_prefix=build-fuzz/ build-fuzz/corpus/$$f || exit 1; \
	done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-windows build-fuzz
