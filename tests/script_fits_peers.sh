#!/bin/bash
# Writes FITS images through every pixel writer and stored type (scaled,
# with and without BLANK, to a file and to standard output), then has two
# independent readers judge them: fitsverify must report 0 warnings and
# 0 errors, and astropy must read the stored values that the writing rules
# give for the values handed to the writer (computed here with numpy).
# Environment: HELPERS (dir of helper_writeimg), SRC_DIR, WORK_DIR.
set -u
"$SRC_DIR/tools/ensure-test-tools.sh" || { echo "cannot install the test peers"; exit 1; }
PY=/usr/bin/python3
mkdir -p "$WORK_DIR"
cd "$WORK_DIR" || exit 1
rm -f ./*.fits ./*.txt

. "$SRC_DIR/tests/check_lib.sh"

# writer bitpix [bscale bzero [blank]]
cases=(
    "r 16" "r 16 2.0 100" "r 16 0.5 -3 -999" "r 8" "r 8 1 0 255" "r 8 2 -10 0"
    "r 32" "r 32 1.5 10 7" "r -32" "r -32 2.0 1.0"
    "d 16 2.0 100" "d 32" "d 32 1 0 -5" "d 8 1 0 0" "d -32" "d -32 4.0 0" "d -64" "d -64 0.5 3.0"
    "s 16" "s 16 1 32768" "i 32" "c 8"
)

verify() { # file
    local out
    out=$(fitsverify "$1" 2>&1)
    if ! grep -q '^\*\*\*\* Verification found 0 warning(s) and 0 error(s)\. \*\*\*\*$' <<<"$out"; then
        echo "$out" | grep -E 'Error|Warning|\*\*\*\*' | head -20
        return 1
    fi
}

compare() { # file values writer bitpix [bscale bzero [blank]]
    "$PY" - "$@" <<'EOF'
import sys
import numpy as np
from astropy.io import fits

fn, vals, writer, bitpix = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
scaled = len(sys.argv) > 6
bscale = float(sys.argv[5]) if scaled else 1.0
bzero = float(sys.argv[6]) if scaled else 0.0
blank = int(sys.argv[7]) if len(sys.argv) > 7 else None

v = np.array([float(x) for x in open(vals)], dtype=np.float64)
with np.errstate(all="ignore"):
    if writer in "rd" and bitpix in (8, 16, 32):
        s = (v - bzero) / bscale if scaled else v.copy()
        if writer == "r":
            s = s.astype(np.float32).astype(np.float64)
        tmin, tmax = {8: (0, 255), 16: (-32768, 32767), 32: (-2**31, 2**31 - 1)}[bitpix]
        if blank is None:
            code = {8: 0, 16: -32768, 32: -2147483647}[bitpix]
            lo = {8: 0, 16: -32767, 32: -2147483646}[bitpix]
            hi = tmax
        else:
            code = blank
            lo = blank + 1 if blank <= 0 else (-2147483647 if bitpix == 32 else tmin)
            hi = tmax if blank <= 0 else blank - 1
            lo, hi = max(lo, tmin), min(hi, tmax)
        bad = ~np.isfinite(s)
        s2 = np.where(bad, 0.0, s)
        half = 0.5 if bitpix == 8 else np.copysign(0.5, s2)
        r = np.where(s2 >= hi, hi, np.where(s2 <= lo, lo, np.trunc(s2 + half)))
        want = np.where(bad, code, r)
    elif bitpix == -32:
        # FITS floats are scaled like integers: both writers undo it.
        s = ((v - bzero) / bscale) if scaled else v
        s = s.astype(np.float32)
        s[~np.isfinite(v)] = np.nan
        want = s
    elif bitpix == -64:
        s = ((v - bzero) / bscale) if scaled else v
        want = np.where(np.isfinite(v), s, np.nan)
    else:
        want = v

hdul = fits.open(fn, do_not_scale_image_data=True)
h = hdul[0].header
data = hdul[0].data
errors = []
if h["BITPIX"] != bitpix or h["NAXIS1"] != 37 or h["NAXIS2"] != 23:
    errors.append("axes or BITPIX wrong")
if h.get("EXTEND") is not True or h.get("OBJECT") != "writer check":
    errors.append("EXTEND or OBJECT wrong")
if "CHECKSUM" in h or "DATASUM" in h:
    errors.append("checksum cards copied")
raw = data.reshape(-1).astype(np.float64)
if bitpix < 0:
    same = (np.isnan(raw) & np.isnan(want)) | (raw == want)
    if writer == "r" and bitpix == -32:
        bits = data.reshape(-1).astype(">f4").view(">u4")
        if not np.all(bits[np.isnan(want)] == 0xFFFFFFFF):
            errors.append("float blank is not all bits set")
else:
    same = raw == want
if not np.all(same):
    k = int(np.argmin(same))
    errors.append("pixel %d: stored %r, expected %r (input %r); %d differ"
                  % (k, raw[k], want[k], v[k], int((~same).sum())))
if scaled and writer in "rd":
    phys = fits.getdata(fn).reshape(-1).astype(np.float64)
    wphys = want * bscale + bzero
    # Blank pixels are left out: astropy ignores a BLANK of 0.
    keep = want != blank if blank is not None else np.ones(want.shape, bool)
    keep &= np.isfinite(want)
    ok = ~keep | np.isclose(phys, wphys, rtol=1e-6, atol=1e-6 * abs(bscale))
    if not np.all(ok):
        errors.append("scaled reading differs at %d pixels" % int((~ok).sum()))
for e in errors:
    print(fn + ": " + e)
sys.exit(1 if errors else 0)
EOF
}

n=0
for c in "${cases[@]}"; do
    n=$((n + 1))
    set -- $c
    f="img$n.fits"
    if "$HELPERS/helper_writeimg" "$f" "$@"; then
        check "fitsverify $f ($c)" verify "$f"
        check "astropy $f ($c)" compare "$f" "$f.in.txt" "$@"
    else
        echo "FAILED: helper_writeimg $f $c (status $?)"
        fail=$((fail + 1))
    fi
done

# Standard output: the header reaches the stream before the pixels.
if VALUES_OUT=stdout.txt "$HELPERS/helper_writeimg" - r 16 2.0 100 -999 >stdout.fits; then
    check "fitsverify stdout.fits" verify stdout.fits
    check "astropy stdout.fits" compare stdout.fits stdout.txt r 16 2.0 100 -999
else
    echo "FAILED: helper_writeimg to standard output"
    fail=$((fail + 1))
fi

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
