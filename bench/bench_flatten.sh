#!/bin/bash
# Times the tool beside cp and beside the tool of a base commit, and proves
# that its outputs are byte-identical to the base tool's.
# Usage: bench/bench_flatten.sh BUILD_DIR [RUNS]
#   BUILD_DIR  a build directory holding the flatten program (Release build)
#   RUNS       timed runs of each command (default 7); medians are reported
# Environment:
#   BENCH_BASE      the base commit (default 9a6a6e7); its tool is built from
#                   git into build/bench-base (only the flatten target) and
#                   reused while it stays built for that commit
#   BENCH_BASE_TOOL a ready base tool to use instead of building one
#   BENCH_SCALING   0 skips the scaling run (1024^2 to 16384^2, float)
#   BENCH_DATA      where the generated inputs are cached (build/bench-data)
#   JOBS            parallel compile jobs of the base build (2)
# Without the git history of the base commit, the outputs are compared with
# the stored checksums of the base tool's outputs (bench/expected.sha256)
# and the base timing is skipped.  Exit status 1 when an output differs or
# a run fails; the speed and memory targets are verdicts only (PASS/OVER).
set -eu
BUILD=${1:?usage: bench_flatten.sh BUILD_DIR [RUNS]}
RUNS=${2:-7}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BASE=${BENCH_BASE:-9a6a6e7}
DATA=${BENCH_DATA:-$ROOT/build/bench-data}
JOBS=${JOBS:-2}
PY=/usr/bin/python3
FLATTEN=$BUILD/flatten
[ -x "$FLATTEN" ] || { echo "no flatten program in $BUILD" >&2; exit 1; }

# What the bench needs from Debian: numpy for the inputs, GNU time for the
# peak memory of each run.
need=""
$PY -c "import numpy" 2>/dev/null || need="$need python3-numpy"
[ -x /usr/bin/time ] || need="$need time"
if [ -n "$need" ]; then
    echo "installing bench tools:$need"
    [ "$(id -u)" = 0 ] || { echo "cannot install$need: not root" >&2; exit 1; }
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi

# build_base COMMIT: builds the tool of COMMIT into build/bench-base (kept
# while the stamp names the same commit) and sets BASE_TOOL; returns 1,
# leaving BASE_TOOL empty, when the commit is not in this tree's history.
build_base() {
    local full dir=$ROOT/build/bench-base
    BASE_TOOL=""
    full=$(git -C "$ROOT" rev-parse --verify -q "$1^{commit}" 2>/dev/null) || return 1
    if [ -x "$dir/build/flatten" ] && [ "$(cat "$dir/commit" 2>/dev/null)" = "$full" ]; then
        BASE_TOOL=$dir/build/flatten
        return 0
    fi
    echo "building the base tool of $1 into $dir ..."
    rm -rf "$dir"
    mkdir -p "$dir/src"
    git -C "$ROOT" archive "$full" | tar -x -C "$dir/src"
    cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$dir/build" -j "$JOBS" --target flatten >/dev/null
    # The stamp goes last: an interrupted build is redone next time.
    echo "$full" > "$dir/commit"
    BASE_TOOL=$dir/build/flatten
}

if [ -n "${BENCH_BASE_TOOL:-}" ]; then
    BASE_TOOL=$BENCH_BASE_TOOL
    [ -x "$BASE_TOOL" ] || { echo "BENCH_BASE_TOOL $BASE_TOOL is not a program" >&2; exit 1; }
elif ! build_base "$BASE"; then
    echo "note: commit $BASE is not in this tree's git history: base timing skipped," \
         "outputs compared with the stored checksums of the outputs of 9a6a6e7" \
         "(bench/expected.sha256)"
fi

SCALING=--scaling-sizes=1024,4096,8192,16384
[ "${BENCH_SCALING:-1}" = 0 ] && SCALING=--scaling-sizes=
FLOOR=$BUILD/bench_io_floor
[ -x "$FLOOR" ] || FLOOR=""

exec $PY "$ROOT/bench/flatten_bench.py" --tool "$FLATTEN" --base-tool "$BASE_TOOL" \
    --base-name "$BASE" --floor "$FLOOR" --data "$DATA" --runs "$RUNS" "$SCALING" \
    --checksums "$ROOT/bench/expected.sha256"
