#!/bin/bash
# Write faults seen by the user and by other readers:
#  - an astropy FITS file with CHECKSUM and DATASUM, opened for update and
#    closed unchanged, is left as it was and still verifies (astropy,
#    fitsverify); changed, it is rewritten in place without the stale
#    checksums and verifies too;
#  - the tool under a file-size limit (ulimit -f, in KiB) swept from 0 past
#    the size of each output form: every run either succeeds with the same
#    output as a run without the limit, or fails with status 255, a message
#    naming the output and its reason, and no output file left.
# Environment: FLATTEN, HELPERS (dir of helper_update), SRC_DIR, WORK_DIR.
set -u
"$SRC_DIR/tools/ensure-test-tools.sh" || { echo "cannot install the test peers"; exit 1; }
PY=/usr/bin/python3
mkdir -p "$WORK_DIR"
cd "$WORK_DIR" || exit 1
rm -rf ./*

. "$SRC_DIR/tests/check_lib.sh"

# ---- Checksummed FITS opened for update --------------------------------
"$PY" - <<'PYEOF' || { echo "astropy could not write the checksummed file"; exit 1; }
from astropy.io import fits
import numpy as np
h = fits.PrimaryHDU(np.arange(12, dtype=np.int16).reshape(3, 4))
for i in range(28):
    h.header.add_comment("comment card %d" % i)
h.writeto("sum.fits", checksum=True)
PYEOF
cp sum.fits sum_before.fits

astropy_verifies() { # file: checksums (when present) agree, data as written
    "$PY" - "$1" <<'PYEOF'
import sys, warnings
import numpy as np
from astropy.io import fits
warnings.simplefilter("error")
with fits.open(sys.argv[1], checksum=True) as h:
    h.verify("exception")
    assert (h[0].data == np.arange(12).reshape(3, 4)).all()
PYEOF
}
fitsverify_ok() { fitsverify -q "$1" | grep -q "^verification OK"; }
has_checksum() { grep -q "CHECKSUM= '" "$1"; }
no_checksum() { ! grep -q "CHECKSUM\|DATASUM" "$1"; }

check "unchanged update closes" "$HELPERS/helper_update" sum.fits
check "unchanged update leaves the bytes" cmp -s sum.fits sum_before.fits
check "unchanged update: astropy checksum" astropy_verifies sum.fits
check "unchanged update: fitsverify" fitsverify_ok sum.fits
check "unchanged update keeps the checksum" has_checksum sum.fits

check "changed update closes" "$HELPERS/helper_update" sum.fits EXPOSURE 30
check "changed update keeps the size" test "$(stat -c %s sum.fits)" = "$(stat -c %s sum_before.fits)"
check "changed update: astropy" astropy_verifies sum.fits
check "changed update: fitsverify" fitsverify_ok sum.fits
check "changed update drops the stale checksum" no_checksum sum.fits
check "changed update keeps the card" grep -q "EXPOSURE=                   30" sum.fits

# ---- The tool under a file-size limit ------------------------------------
cp "$SRC_DIR/examples/sample.fits" . || exit 1
points=$(tail -n +3 "$SRC_DIR/examples/sample.txt")

for form in fits imh zzh; do
    files=$(form_files "$form")
    mkdir -p ref
    printf 'sample.fits\nref/out.%s\n%s\n' "$form" "$points" > job_ref.txt
    if ! "$FLATTEN" < job_ref.txt 2> ref_err.txt; then
        echo "FAILED: reference run for $form: $(cat ref_err.txt)"; fail=$((fail + 1)); continue
    fi
    printf 'sample.fits\nout.%s\n%s\n' "$form" "$points" > job.txt
    ok=0
    refused=0
    for kib in $(kib_limits ref "$files"); do
        rm -f $files
        # standard error through a pipe: the limit would cut a file
        err=$( (ulimit -f "$kib"; exec "$FLATTEN" < job.txt) 2>&1 >/dev/null )
        status=$?
        printf '%s\n' "$err" > err.txt
        if [ "$status" = 0 ]; then
            ok=$((ok + 1))
            for f in $files; do
                if [ "$form" = imh ] && [ "$f" = out.imh ]; then
                    # time stamps differ: same size, same pixels
                    check "$form ${kib}KiB: $f size" test "$(stat -c %s "$f")" = "$(stat -c %s "ref/$f")"
                elif [ "$form" = imh ]; then
                    check "$form ${kib}KiB: $f pixels" cmp -s -i 1024 "$f" "ref/$f"
                else
                    check "$form ${kib}KiB: $f" cmp -s "$f" "ref/$f"
                fi
            done
        else
            refused=$((refused + 1))
            check "$form ${kib}KiB: status 255 (got $status)" test "$status" = 255
            check "$form ${kib}KiB: message names the output: $(head -c 300 err.txt)" \
                grep -Eq "^Error (writing pixels to output|closing output image) \"out\.$form\": .+" err.txt
            check "$form ${kib}KiB: no sanitizer report" bash -c "! grep -q 'Sanitizer\|runtime error' err.txt"
            for f in $files; do
                check "$form ${kib}KiB: no $f left" test ! -e "$f"
            done
        fi
    done
    check "$form: some limits refused" test "$refused" -gt 2
    check "$form: the last limits succeed" test "$ok" -ge 1
    rm -rf ref
done

echo "script_write_faults: $pass passed, $fail failed"
[ "$fail" = 0 ]
