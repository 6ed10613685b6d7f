#!/bin/bash
# run_fuzz.sh BUILD SECONDS [HARNESS...]: run each libFuzzer harness of the
# IM_FUZZ build in BUILD for SECONDS, JOBS (default 2) at a time, at low
# priority.  Seeds come fresh from the library's writers (make_seeds); the
# corpus each run grows is kept in BUILD/run/corpus/<harness> for the next
# run; the regression cases of fuzz/regressions/<harness> are replayed
# first.  A finding (crash, sanitizer report, leak, timeout) is saved in
# BUILD/run/artifacts/<harness>/ and fails the run.
# Exit status: 0 no finding; 1 a finding; 2 usage or setup error.
set -u
BUILD=${1:?usage: run_fuzz.sh BUILD SECONDS [HARNESS...]}
SECONDS_EACH=${2:?usage: run_fuzz.sh BUILD SECONDS [HARNESS...]}
shift 2
SRC=$(cd "$(dirname "$0")" && pwd)
JOBS=${JOBS:-2}
HARNESSES=("$@")
if [ ${#HARNESSES[@]} -eq 0 ]; then
    HARNESSES=(fuzz_fits fuzz_iraf fuzz_zz fuzz_s fuzz_detect fuzz_subset
               fuzz_roundtrip fuzz_write fuzz_update)
fi
RUN=$BUILD/run
mkdir -p "$RUN/logs" || exit 2
rm -rf "$RUN/seeds"
"$BUILD/fuzz/make_seeds" "$RUN/seeds" || { echo "make_seeds failed" >&2; exit 2; }

run_one() {
    h=$1
    mkdir -p "$RUN/corpus/$h" "$RUN/artifacts/$h"
    dirs=("$RUN/corpus/$h" "$RUN/seeds/$h")
    [ -d "$SRC/regressions/$h" ] && dirs+=("$SRC/regressions/$h")
    nice -n 19 "$BUILD/fuzz/$h" -max_total_time="$SECONDS_EACH" -timeout=20 \
        -rss_limit_mb=1024 -print_final_stats=1 -dict="$SRC/image.dict" \
        -artifact_prefix="$RUN/artifacts/$h/" \
        "${dirs[@]}" > "$RUN/logs/$h.log" 2>&1 < /dev/null
    echo $? > "$RUN/logs/$h.status"
}
export -f run_one
export RUN SRC BUILD SECONDS_EACH
printf '%s\n' "${HARNESSES[@]}" | xargs -P "$JOBS" -I{} bash -c 'run_one {}'

failed=0
for h in "${HARNESSES[@]}"; do
    status=$(cat "$RUN/logs/$h.status" 2>/dev/null || echo 2)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$RUN/logs/$h.log" | tail -1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$RUN/logs/$h.log" | tail -1)
    if [ "$status" = 0 ]; then
        echo "$h: ${execs:-?} executions in ${SECONDS_EACH} s, ${cov:-no coverage line}"
    else
        failed=1
        echo "$h: FINDING (status $status), log $RUN/logs/$h.log, input in $RUN/artifacts/$h/"
        grep -E 'FUZZ FINDING|ERROR: |SUMMARY: |runtime error' "$RUN/logs/$h.log" | head -5
    fi
done
exit $failed
