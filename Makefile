# Top-level commands.  Build outputs go under build/.
JOBS ?= 2
REL  := build/release
ASAN := build/asan
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build test test-plain test-asan test-cross test-fuzz fuzz demo bench clean

# Hosts of the cross runs: a big-endian one and a 32-bit one (toolchain
# files in cmake/; arm-linux-gnueabihf, run under qemu-arm, also works).
CROSS_HOSTS ?= s390x-linux-gnu i686-linux-gnu

all: build

build:
	cmake -S . -B $(REL) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(REL) -j $(JOBS)

# The whole suite twice: a plain build, then one under AddressSanitizer and
# UndefinedBehaviorSanitizer where any report fails the run; then on the
# cross hosts; then a short run of every fuzz harness (a finding fails).
test: test-plain test-asan test-cross test-fuzz

test-plain: build
	./tools/ensure-test-tools.sh
	cd $(REL) && ctest --output-on-failure -j $(JOBS)

test-asan:
	./tools/ensure-test-tools.sh
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DIM_SANITIZE=ON >/dev/null
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Cross builds for CROSS_HOSTS, each running the suite (less the tests of
# label "peer", which drive python, astropy and IRAF on this machine) under
# its emulator; then files written on each host are read on every other.
test-cross: build
	./tools/ensure-cross-tools.sh $(CROSS_HOSTS)
	set -e; for h in $(CROSS_HOSTS); do \
	  cmake -S . -B build/$$h -DCMAKE_TOOLCHAIN_FILE=cmake/$$h.cmake \
	    -DCMAKE_BUILD_TYPE=Release >/dev/null; \
	  cmake --build build/$$h -j $(JOBS); \
	  (cd build/$$h && ctest --output-on-failure -j $(JOBS) -LE peer); \
	done
	./tools/cross-host-check.sh $(REL) $(addprefix build/,$(CROSS_HOSTS))

# Every libFuzzer harness of fuzz/ for FUZZ_SECONDS each (clang only).
fuzz:
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DIM_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)
	JOBS=$(JOBS) ./fuzz/run_fuzz.sh $(FUZZ) $(FUZZ_SECONDS)

test-fuzz:
	./tools/ensure-fuzz-tools.sh
	$(MAKE) fuzz FUZZ_SECONDS=15

demo: build
	./examples/demo.sh $(REL)/flatten

# Speed and memory: the reader alone, then the whole tool beside cp.
bench: build
	cmake --build $(REL) -j $(JOBS) --target bench_rpix bench_io_floor
	bash bench/run_read.sh $(REL)
	bash bench/bench_flatten.sh $(REL) 7

clean:
	rm -rf build
