#!/bin/bash
# Clipping compared with astropy's iterative fit with outlier removal:
# images of a plane, noise and sources placed under some reference points
# (plus points outside the image and on blank pixels) are flattened with
# --clip=K --clip-iterations=N; astropy's FittingWithOutlierRemoval with a
# LinearLSQFitter, a degree-1 Polynomial2D and sigma_clip (median centre,
# mad_std scale, one clip per round) on the same points and values must
# reject the same points and find the same plane within rounding.  The JSON
# report (file and standard error) must parse with json, agree with the
# text report's numbers, and the output pixels must be the input less the
# reported plane.
# Environment: FLATTEN, SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_clip_astropy

"$PY" - "$FLATTEN" "$WORK" <<'EOF'
import json, os, re, subprocess, sys, warnings
import numpy as np
from astropy.io import fits
from astropy.modeling import models, fitting
from astropy.stats import sigma_clip
from peer_checks import Checks

flatten, work = sys.argv[1], sys.argv[2]
check = Checks('script_clip_astropy')
S, L = 240, 180


def make_case(seed, sources, graded=False):
    """An image (plane + noise sigma 2 + compact sources under the points
    listed), the reference points (a grid, two outside, one on a NaN)."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[1:L + 1, 1:S + 1].astype(np.float64)
    img = 500.0 + 0.8 * x - 0.45 * y + rng.normal(0.0, 2.0, (L, S))
    pts = [(int(px), int(py)) for py in range(8, L, 25) for px in range(11, S, 30)]
    for j, i in enumerate(sources):
        sx, sy = pts[i]
        peak = 3000.0 / (3.0 ** j) if graded else rng.uniform(80.0, 400.0) * rng.choice([-1, 1])
        img += peak * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2.0 * 1.5 ** 2))
    img = img.astype(np.float32)
    bx, by = pts[-2]
    img[by - 1, bx - 1] = np.nan
    pts += [(S + 1, 3), (0, 40)]
    return img, pts


def run(name, img, pts, args):
    """Write the input, run the tool; returns (status, stderr, out path)."""
    inp = os.path.join(work, name + '.fits')
    out = os.path.join(work, name + '_out.fits')
    fits.PrimaryHDU(img).writeto(inp, overwrite=True)
    job = '%s\n%s\n' % (inp, out) + ''.join('%d %d\n' % p for p in pts)
    r = subprocess.run([flatten] + args, input=job.encode(), capture_output=True)
    return r.returncode, r.stderr.decode(), out


def text_numbers(text):
    """The figures of the text report, by name."""
    got = {}
    m = re.search(r'Plane: A = (\S+), B = (\S+), C = (\S+)', text)
    got['A'], got['B'], got['C'] = (float(v) for v in m.groups())
    got['rms'] = float(re.search(r'Residual RMS over the used points: (\S+)', text).group(1))
    m = re.search(r'Largest residual: (\S+) at point (\d+) \((\d+), (\d+)\)', text)
    got['largest'] = (float(m.group(1)), int(m.group(2)), int(m.group(3)), int(m.group(4)))
    got['corners'] = [(int(a), int(b), float(v)) for a, b, v in
                      re.findall(r'^  \((\d+), (\d+)\) (\S+)$', text, re.M)]
    got['rejected'] = [int(v) for v in re.findall(r'^  point (\d+) \(\d+, \d+\) residual', text, re.M)]
    got['used'] = int(re.search(r'Points used: (\d+)', text).group(1))
    return got


def close(a, b, rel=2e-9):
    return abs(a - b) <= rel * max(1.0, abs(a), abs(b))


def compare(name, img, pts, k, n):
    status, err, out = run(name, img, pts, ['--clip=%g' % k, '--clip-iterations=%d' % n,
                                            '--report=' + os.path.join(work, name + '.json')])
    if not check(status == 0, '%s: status %d: %s' % (name, status, err)):
        return
    check(err == '', '%s: stderr not empty: %r' % (name, err))
    with open(os.path.join(work, name + '.json')) as fp:
        rep = json.load(fp)
    # The same report on standard error, and the text one.
    status2, err2, _ = run(name + '_j', img, pts, ['--report=json', '--clip=%g' % k,
                                                   '--clip-iterations=%d' % n])
    check(status2 == 0 and json.loads(err2) == rep, '%s: --report=json differs from the file' % name)
    status3, err3, _ = run(name + '_t', img, pts, ['--clip=%g' % k, '--report',
                                                   '--clip-iterations=%d' % n])
    t = text_numbers(err3)
    check(all(close(t[c], rep['plane'][c]) for c in 'ABC'), '%s: text plane %s vs %s' % (name, t, rep['plane']))
    check(close(t['rms'], rep['residual_rms']), '%s: rms' % name)
    lr = rep['largest_residual']
    check(close(t['largest'][0], lr['residual']) and t['largest'][1:] == (lr['point'], lr['sample'], lr['line']),
          '%s: largest residual' % name)
    check([(c['sample'], c['line']) for c in rep['corners']] == [(1, 1), (S, 1), (1, L), (S, L)] and
          all(close(tc[2], c['value']) and tc[:2] == (c['sample'], c['line'])
              for tc, c in zip(t['corners'], rep['corners'])), '%s: corners' % name)
    check(t['rejected'] == [p['point'] for p in rep['rejected']] and t['used'] == rep['points_used'],
          '%s: rejected points text vs json' % name)
    check(rep['points_read'] == len(pts) and [p['point'] for p in rep['outside']] == [len(pts) - 2, len(pts) - 1]
          and [p['point'] for p in rep['blank_or_not_finite']] == [len(pts) - 4], '%s: left-out points' % name)

    # astropy on the usable points: inside and finite.
    usable = [i for i, (px, py) in enumerate(pts)
              if 1 <= px <= S and 1 <= py <= L and np.isfinite(img[py - 1, px - 1])]
    xs = np.array([pts[i][0] for i in usable], dtype=np.float64)
    ys = np.array([pts[i][1] for i in usable], dtype=np.float64)
    zs = np.array([img[pts[i][1] - 1, pts[i][0] - 1] for i in usable], dtype=np.float64)
    fitter = fitting.FittingWithOutlierRemoval(fitting.LinearLSQFitter(), sigma_clip, niter=n,
                                               sigma=k, maxiters=1, cenfunc='median',
                                               stdfunc='mad_std')
    with warnings.catch_warnings():
        warnings.simplefilter('ignore')
        model, mask = fitter(models.Polynomial2D(1), xs, ys, zs)
    theirs = sorted(usable[j] for j in np.nonzero(mask)[0])
    ours = sorted(p['point'] for p in rep['rejected'])
    check(theirs == ours, '%s: rejected %s, astropy %s' % (name, ours, theirs))
    plane = rep['plane']
    for cx, cy in ((1, 1), (S, 1), (1, L), (S, L)):
        mine = plane['A'] + plane['B'] * cx + plane['C'] * cy
        peer = model.c0_0.value + model.c1_0.value * cx + model.c0_1.value * cy
        check(abs(mine - peer) < 1e-7, '%s: plane at (%d, %d): %.12g, astropy %.12g' % (name, cx, cy, mine, peer))
    # The output: the input less the plane, in float32.
    with fits.open(out) as h:
        got = h[0].data.astype(np.float64)
    y, x = np.mgrid[1:L + 1, 1:S + 1].astype(np.float64)
    want = (img.astype(np.float64) - ((plane['A'] + x * plane['B']) + y * plane['C'])).astype(np.float32)
    ok = np.array_equal(np.isnan(got), np.isnan(want)) and \
        np.nanmax(np.abs(got - want)) <= 1e-3
    check(ok, '%s: output pixels are not the input less the plane' % name)
    return ours


# Sources of both signs under scattered points, at several K.
for seed, k in ((1, 3.0), (2, 2.5), (3, 4.0), (4, 3.0)):
    rng = np.random.default_rng(100 + seed)
    img, pts = make_case(seed, list(rng.choice(54, size=6, replace=False)))
    compare('scattered%d' % seed, img, pts, k, 10)

# Sources of falling strength: several rounds, and the cap on them.
img, pts = make_case(7, [5, 17, 29, 40, 48, 53], graded=True)
all_rounds = compare('graded10', img, pts, 3.0, 10)
one_round = compare('graded1', img, pts, 3.0, 1)
check(all_rounds is not None and one_round is not None and len(one_round) < len(all_rounds),
      'the round cap does not change the rejections: %s vs %s' % (one_round, all_rounds))

# Noise only and a wide K: nothing rejected, same plane as astropy's plain fit.
img, pts = make_case(9, [])
none = compare('noise_only', img, pts, 6.0, 10)
check(none == [], 'noise only: %s rejected' % none)

check.finish()
EOF
