# Top-level commands.  Build outputs go under build/.
JOBS ?= 2
REL  := build/release
ASAN := build/asan

.PHONY: all build test test-plain test-asan demo bench clean

all: build

build:
	cmake -S . -B $(REL) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(REL) -j $(JOBS)

# The whole suite twice: a plain build, then one under AddressSanitizer and
# UndefinedBehaviorSanitizer where any report fails the run.
test: test-plain test-asan

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

demo: build
	./examples/demo.sh $(REL)/flatten

# Speed and memory: the reader alone, then the whole tool beside cp.
bench: build
	cmake --build $(REL) -j $(JOBS) --target bench_rpix bench_io_floor
	bash bench/run_read.sh $(REL)
	bash bench/bench_flatten.sh $(REL) 7

clean:
	rm -rf build
