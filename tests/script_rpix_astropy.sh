#!/bin/bash
# Pixel reading compared with astropy: FITS files of every BITPIX, with and
# without BSCALE, BZERO and BLANK, NaN and infinities, read whole and
# through subsets with im_rpix_r and im_rpix_d (helper_readpix), checked
# pixel by pixel against astropy's scaled data and against the exact
# single/double precision arithmetic of the readers.
# Environment: HELPERS (dir of helper_readpix), SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_rpix_astropy

"$PY" - "$WORK" "$HELPERS/helper_readpix" <<'EOF'
import os, subprocess, sys
import numpy as np
from astropy.io import fits
from peer_checks import write_fits

work, helper = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(20240611)
INT_RANGE = {8: (0, 255, 'u1'), 16: (-32768, 32767, '>i2'), 32: (-2147483648, 2147483647, '>i4')}


def make_raw(bitpix, shape, blank):
    if bitpix > 0:
        lo, hi, _ = INT_RANGE[bitpix]
        raw = rng.integers(lo, hi, size=shape, endpoint=True, dtype=np.int64)
        flat = raw.reshape(-1)
        flat[:4] = [lo, hi, 0, 1]
        if bitpix == 32:
            flat[4:6] = [16777217, -16777219]
        if blank is not None:
            flat[rng.choice(flat.size, 7, replace=False)] = blank
        return raw
    raw = rng.normal(0, 1e3, size=shape)
    if bitpix == -32:
        raw = raw.astype(np.float32)
    flat = raw.reshape(-1)
    flat[:3] = [np.nan, np.inf, -np.inf]
    flat[3] = -999.0
    return raw

# (name, bitpix, cards, blank code)
cases = []
for bp in (8, 16, 32):
    blank = {8: 200, 16: -32768, 32: -7}[bp]
    cases.append(('plain%d' % bp, bp, [], None))
    cases.append(('scaled%d' % bp, bp, [('BSCALE', 0.1), ('BZERO', 32768.3)], None))
    cases.append(('bscale%d' % bp, bp, [('BSCALE', 2.5)], None))
    cases.append(('bzero%d' % bp, bp, [('BZERO', -1234.5)], None))
    cases.append(('blank%d' % bp, bp, [('BLANK', blank)], blank))
    cases.append(('all%d' % bp, bp, [('BSCALE', 1.5e-3), ('BZERO', 7.0), ('BLANK', blank)], blank))
for bp in (-32, -64):
    cases.append(('float%d' % -bp, bp, [], None))
    cases.append(('fblank%d' % -bp, bp, [('BLANK', -999)], None))   # FITS floats ignore BLANK
    cases.append(('fscaled%d' % -bp, bp, [('BSCALE', 0.1), ('BZERO', -3.25)], None))

shapes = {'2d': (11, 13), '3d': (4, 9, 6)}
subsets = {'2d': ['', ',@3:7,@2:5', ',@13:1,@11', ',@7,@2:2'],
           '3d': ['', ',@2:4,@3:9,@2:3']}

def expected(raw, bitpix, cards, blank, kind):
    """What the reader must deliver, computed in numpy: (values, blank mask)."""
    c = dict(cards)
    s, o = c.get('BSCALE', 1.0), c.get('BZERO', 0.0)
    # Integers and FITS floats are scaled alike, in the reader's precision.
    if bitpix > 0:
        mask = (raw == blank) if blank is not None else np.zeros(raw.shape, bool)
    else:
        mask = ~np.isfinite(raw)
    if kind == 'r':
        x = raw.astype(np.float32)
        if s != 1.0:
            x = (x.astype(np.float64) * s).astype(np.float32)
        if o != 0.0:
            x = (x.astype(np.float64) + o).astype(np.float32)
    else:
        x = raw.astype(np.float64)
        if s != 1.0:
            x = x * s
        if o != 0.0:
            x = x + o
    return x, mask

def subset_slices(sub, ndim):
    """numpy slices (slowest axis first) for a ',@a:b,...' pixel subset."""
    sl = [slice(None)] * ndim
    for i, field in enumerate([f for f in sub.split(',') if f]):
        v = field.lstrip('@')
        if ':' in v:
            a, b = (int(t) for t in v.split(':'))
            lo, hi = min(a, b), max(a, b)
        else:
            lo = hi = int(v)
        sl[ndim - 1 - i] = slice(lo - 1, hi)
    return tuple(sl)

failures, checks = 0, 0
def fail(msg):
    global failures
    failures += 1
    if failures <= 30:
        print('MISMATCH', msg)

for name, bp, cards, blank in cases:
    for sname, shape in shapes.items():
        raw = make_raw(bp, shape, blank)
        path = os.path.join(work, '%s_%s.fits' % (name, sname))
        write_fits(path, bp, raw, cards)
        with fits.open(path) as hdul:
            ap = np.array(hdul[0].data, dtype=np.float64)   # astropy's scaled data, blank -> NaN
        for sub in subsets[sname]:
            sl = subset_slices(sub, raw.ndim)
            for kind in ('r', 'd'):
                for piece in ('0', '5'):
                    checks += 1
                    tag = '%s%s %s piece %s' % (os.path.basename(path), sub, kind, piece)
                    res = subprocess.run([helper, path + sub, kind, piece], capture_output=True, text=True)
                    if bp == -64 and kind == 'r':
                        if res.returncode != 3 or 'read -2' not in res.stdout:
                            fail('%s: expected read -2, got rc %d %r' % (tag, res.returncode, res.stdout[:80]))
                        continue
                    if res.returncode != 0:
                        fail('%s: rc %d %s %s' % (tag, res.returncode, res.stdout[:80], res.stderr[:200]))
                        continue
                    lines = res.stdout.split('\n')
                    want, mask = expected(raw, bp, cards, blank, kind)
                    want, mask, apv = want[sl].reshape(-1), mask[sl].reshape(-1), ap[sl].reshape(-1)
                    if lines[0] != 'count %d' % want.size:
                        fail('%s: %s, expected count %d' % (tag, lines[0], want.size))
                        continue
                    vals = lines[1:1 + want.size]
                    for k, text in enumerate(vals):
                        if mask[k]:
                            if text != 'blank':
                                fail('%s pixel %d: %s, expected blank' % (tag, k, text)); break
                            if bp > 0 and not np.isnan(apv[k]):
                                fail('%s pixel %d: astropy %r is not blank' % (tag, k, apv[k])); break
                            continue
                        if text in ('blank', 'nan'):
                            fail('%s pixel %d: %s, expected %r' % (tag, k, text, want[k])); break
                        got = np.float32(text) if kind == 'r' else np.float64(text)
                        if got != want[k]:
                            fail('%s pixel %d: %r, expected exactly %r' % (tag, k, got, want[k])); break
                        # astropy's own scaling (single precision for 8/16 bits)
                        tol = 2e-6 * abs(apv[k]) + 1e-6 * (abs(dict(cards).get('BZERO', 0.0)) + 1)
                        if not abs(float(got) - apv[k]) <= tol:
                            fail('%s pixel %d: %r, astropy %r' % (tag, k, got, apv[k])); break

print('script_rpix_astropy: %d reads compared, %d mismatches' % (checks, failures))
sys.exit(1 if failures else 0)
EOF
status=$?
exit $status
