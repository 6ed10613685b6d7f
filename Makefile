# Top-level commands.  Build outputs go under build/.
JOBS ?= 2
REL  := build/release
ASAN := build/asan
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: all build test test-plain test-asan test-cross test-compile-aarch64 test-lib-only \
        test-fuzz fuzz demo bench clean

# Compiler warnings are errors in every build that make test (and so CI)
# makes; a plain `make` leaves the setting as the build directory has it
# (off when first configured).  WERROR=OFF on the command line lifts it.
WERROR ?=
TEST_TARGETS := test test-plain test-asan test-cross test-compile-aarch64 test-lib-only test-fuzz
$(TEST_TARGETS): WERROR = ON
CONFIG_WERROR = $(if $(WERROR),-DIM_WERROR=$(WERROR))

# Hosts of the cross runs: a big-endian one and a 32-bit one (toolchain
# files in cmake/; arm-linux-gnueabihf, run under qemu-arm, also works).
CROSS_HOSTS ?= s390x-linux-gnu i686-linux-gnu

all: build

build:
	cmake -S . -B $(REL) -DCMAKE_BUILD_TYPE=Release $(CONFIG_WERROR) >/dev/null
	cmake --build $(REL) -j $(JOBS)

# The whole suite twice: a plain build, then one under AddressSanitizer and
# UndefinedBehaviorSanitizer where any report fails the run; then on the
# cross hosts; then a compile for aarch64 and a library-only build; then a
# short run of every fuzz harness (a finding fails).
test: test-plain test-asan test-cross test-compile-aarch64 test-lib-only test-fuzz

test-plain: build
	./tools/ensure-test-tools.sh
	cd $(REL) && ctest --output-on-failure -j $(JOBS)

test-asan:
	./tools/ensure-test-tools.sh
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DIM_SANITIZE=ON $(CONFIG_WERROR) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Cross builds for CROSS_HOSTS, each running the suite under its emulator,
# less the tests of label "peer" (they drive python, astropy and IRAF on
# this machine) and "host" (they install and inspect the build with this
# machine's compiler and tools); then files written on each host are read
# on every other.
test-cross: build
	./tools/ensure-cross-tools.sh $(CROSS_HOSTS)
	set -e; for h in $(CROSS_HOSTS); do \
	  cmake -S . -B build/$$h -DCMAKE_TOOLCHAIN_FILE=cmake/$$h.cmake \
	    -DCMAKE_BUILD_TYPE=Release $(CONFIG_WERROR) >/dev/null; \
	  cmake --build build/$$h -j $(JOBS); \
	  (cd build/$$h && ctest --output-on-failure -j $(JOBS) -LE 'peer|host'); \
	done
	./tools/cross-host-check.sh $(REL) $(addprefix build/,$(CROSS_HOSTS))

# 64-bit ARM: the library, the tool, the tests and the fuzz replays must
# compile (nothing is run).
test-compile-aarch64:
	./tools/ensure-cross-tools.sh aarch64-linux-gnu
	cmake -S . -B build/aarch64-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=Release $(CONFIG_WERROR) >/dev/null
	cmake --build build/aarch64-linux-gnu -j $(JOBS)

# The library and the tool alone, as a packager builds them: without the
# tests, GoogleTest must be neither looked for nor compiled (both ways of
# reaching it are made to fail here), and the build installs.
test-lib-only:
	rm -rf build/lib-only
	cmake -S . -B build/lib-only --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DGTEST_SOURCE_DIR=/nonexistent $(CONFIG_WERROR) >/dev/null
	cmake --build build/lib-only -j $(JOBS)
	cmake --install build/lib-only --prefix build/lib-only/installed >/dev/null

# Every libFuzzer harness of fuzz/ for FUZZ_SECONDS each (clang only).
fuzz:
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DIM_FUZZ=ON -DBUILD_TESTING=OFF $(CONFIG_WERROR) >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)
	JOBS=$(JOBS) ./fuzz/run_fuzz.sh $(FUZZ) $(FUZZ_SECONDS)

test-fuzz:
	./tools/ensure-fuzz-tools.sh
	$(MAKE) fuzz FUZZ_SECONDS=15 WERROR=$(WERROR)

# The demo also draws its run (examples/show_flatten.py), with matplotlib
# and astropy installed when missing (as root; otherwise the picture is
# skipped with a note).
demo: build
	./tools/ensure-test-tools.sh || echo "demo: the picture's tools could not be installed"
	./examples/demo.sh $(REL)/flatten

# Speed and memory: the reader alone, then the whole tool beside cp and
# beside the tool of BENCH_BASE (built into build/bench-base), with a byte
# comparison of every output (a difference fails); BENCH_SCALING=0 skips
# the scaling run up to 16384 x 16384 (1 GiB inputs cached in build/).
BENCH_BASE ?= 9a6a6e7
BENCH_RUNS ?= 7
BENCH_SCALING ?= 1
bench: build
	cmake --build $(REL) -j $(JOBS) --target bench_rpix bench_io_floor
	bash bench/run_read.sh $(REL)
	BENCH_BASE=$(BENCH_BASE) BENCH_SCALING=$(BENCH_SCALING) JOBS=$(JOBS) \
	  bash bench/bench_flatten.sh $(REL) $(BENCH_RUNS)

clean:
	rm -rf build
