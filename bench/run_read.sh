#!/bin/bash
# Reading benchmark: builds bench_rpix in the build directory given as $1
# (default: build) and runs it there; extra arguments go to the program
# (number of runs).
set -e
BUILD="${1:-build}"
shift || true
cmake --build "$BUILD" --target bench_rpix
"$BUILD/bench_rpix" "$BUILD" "$@"
