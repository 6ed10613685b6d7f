#!/bin/bash
# The tool writing over an existing output (FITS, IRAF pair, ZZ pair):
#  - under a file-size limit (ulimit -f, in KiB) swept from 0 past the size
#    of each output form: a run either succeeds with the same output as a
#    run without the limit, or fails with status 255 and its message, and
#    then the old output is left byte for byte as it was; no temporary file
#    is left either way;
#  - a run stopped during the write of a large image and killed (SIGKILL)
#    leaves the old output as it was (its temporary file stays: nothing
#    can remove it after SIGKILL);
#  - a run sent SIGTERM or SIGHUP during that write discards its temporary
#    file, leaves the old output as it was and ends by the signal.
# Environment: FLATTEN, SRC_DIR, WORK_DIR.
set -u
mkdir -p "$WORK_DIR"
cd "$WORK_DIR" || exit 1
rm -rf ./*

. "$SRC_DIR/tests/check_lib.sh"
no_temporaries() { ! compgen -G "out.*.tmp*" >/dev/null; }
same_as() { # directory: each output file equal to the one there
    local f
    for f in $files; do cmp -s "$f" "$1/$f" || return 1; done
}

cp "$SRC_DIR/examples/sample.fits" . || exit 1
points=$(tail -n +3 "$SRC_DIR/examples/sample.txt")
# The old output: the same input flattened with other reference points.
old_points=$(printf '1 1\n20 1\n1 20\n')

for form in fits imh zzh; do
    files=$(form_files "$form")
    mkdir -p old new
    printf 'sample.fits\nold/out.%s\n%s\n' "$form" "$old_points" | "$FLATTEN" 2>/dev/null ||
        { echo "FAILED: old output for $form"; fail=$((fail + 1)); continue; }
    printf 'sample.fits\nnew/out.%s\n%s\n' "$form" "$points" | "$FLATTEN" 2>/dev/null ||
        { echo "FAILED: new output for $form"; fail=$((fail + 1)); continue; }
    printf 'sample.fits\nout.%s\n%s\n' "$form" "$points" > job.txt
    ok=0
    refused=0
    for kib in $(kib_limits new "$files"); do
        for f in $files; do cp -p "old/$f" "$f"; done
        err=$( (ulimit -f "$kib"; exec "$FLATTEN" < job.txt) 2>&1 >/dev/null )
        status=$?
        check "$form ${kib}KiB: no temporary file left" no_temporaries
        if [ "$status" = 0 ]; then
            ok=$((ok + 1))
            if [ "$form" = imh ]; then # time stamps differ: sizes and pixels
                check "$form ${kib}KiB: new header" test "$(stat -c %s out.imh)" = "$(stat -c %s new/out.imh)"
                check "$form ${kib}KiB: new pixels" cmp -s -i 1024 out.pix new/out.pix
            else
                check "$form ${kib}KiB: the new output" same_as new
            fi
        else
            refused=$((refused + 1))
            check "$form ${kib}KiB: status 255 (got $status)" test "$status" = 255
            check "$form ${kib}KiB: message names the output: $err" \
                grep -Eq "^Error (writing pixels to output|closing output image) \"out\.$form\": .+" <<< "$err"
            check "$form ${kib}KiB: the message does not call the old output overwritten" \
                bash -c "! grep -q 'existed before' <<< \"\$1\"" - "$err"
            check "$form ${kib}KiB: the old output intact" same_as old
        fi
    done
    check "$form: some limits refused" test "$refused" -gt 2
    check "$form: the last limits succeed" test "$ok" -ge 1
    rm -rf old new $files
done

# ---- The input replaced by its own flattened image ----------------------
# The old file is the input: it is read whole while the new one is written
# beside it, and replaced at the end.
printf 'sample.fits\nref.fits\n%s\n' "$points" | "$FLATTEN" 2>/dev/null
cp sample.fits self.fits
printf 'self.fits\nself.fits\n%s\n' "$points" | "$FLATTEN" 2>/dev/null
check "input and output of one name: status 0" test $? = 0
check "input and output of one name: the output as from a copy" cmp -s self.fits ref.fits
rm -f ref.fits self.fits

# ---- A run killed during the write of a large output -------------------
# A 4096 x 4096 BITPIX -32 input (64 MiB of zeros after the header).
{
    for c in "SIMPLE  =                    T" "BITPIX  =                  -32" \
             "NAXIS   =                    2" "NAXIS1  =                 4096" \
             "NAXIS2  =                 4096" "END"; do
        printf '%-80s' "$c"
    done
    printf '%*s' $((2880 - 6 * 80)) ''
    head -c $((4096 * 4096 * 4)) /dev/zero
} > big.fits
printf 'old output, not an image\n' > out.fits
cp -p out.fits old.fits
printf 'big.fits\nout.fits\n%s\n' "$points" > big.txt
caught=0
for attempt in 1 2 3 4 5; do
    "$FLATTEN" < big.txt 2>/dev/null &
    pid=$!
    # Wait for the temporary file, then stop the run while it still exists
    # (so the rename has not happened), and kill it.
    while kill -0 "$pid" 2>/dev/null && ! compgen -G "out.fits.tmp*" >/dev/null; do :; done
    kill -STOP "$pid" 2>/dev/null
    if compgen -G "out.fits.tmp*" >/dev/null && kill -KILL "$pid" 2>/dev/null; then
        wait "$pid" 2>/dev/null
        caught=1
        check "killed run: the old output intact" cmp -s out.fits old.fits
        rm -f out.fits.tmp*
        break
    fi
    wait "$pid" 2>/dev/null
    cp -p old.fits out.fits
done
check "a run was caught during its write (5 attempts)" test "$caught" = 1

# ---- A run asked to stop (SIGTERM, SIGHUP) during its write ----------------
# The tool discards its unfinished output, so no temporary file stays, and
# ends by the signal it was sent.
for sig in TERM HUP; do
    caught=0
    for attempt in 1 2 3 4 5; do
        cp -p old.fits out.fits
        "$FLATTEN" < big.txt 2>stop.err &
        pid=$!
        while kill -0 "$pid" 2>/dev/null && ! compgen -G "out.fits.tmp*" >/dev/null; do :; done
        if kill -"$sig" "$pid" 2>/dev/null; then
            wait "$pid"
            status=$?
            # a run that had already finished when the signal came says 0
            [ "$status" = 0 ] && continue
            caught=1
            check "SIG$sig: ends by the signal" test "$status" = $((128 + $(kill -l "$sig")))
            check "SIG$sig: says the output is discarded" \
                grep -q "Stopped by a signal: the output is discarded" stop.err
            check "SIG$sig: the old output intact" cmp -s out.fits old.fits
            check "SIG$sig: no temporary file left" no_temporaries
            break
        fi
        wait "$pid" 2>/dev/null
    done
    check "SIG$sig: a run was caught during its write (5 attempts)" test "$caught" = 1
done
rm -f big.fits big.txt out.fits old.fits stop.err

echo "script_replace_output: $pass passed, $fail failed"
[ "$fail" = 0 ]
