#!/bin/bash
# Subsets on headers with CDi_j and PCi_j matrices compared with astropy.wcs:
# FITS files made by astropy (rotations, mirrored axes, PC with CDELT, a
# RA---TAN-SIP header, galactic, equatorial B1950 and AIT frames, cubes with
# a velocity axis) are opened through the library with sky-position and
# world-range subsets (helper_subset prints the window chosen), and each box
# is checked against astropy's world_to_pixel of its centre, its edges and,
# for unrotated frames, its sky corners, within 1 pixel.  Headers the
# library must refuse (skewed or singular matrices, ZEA and CAR projections,
# a velocity row mixing in a sky axis) must fail with -4 and their reason,
# while pixel subsets still open.
# Environment: HELPERS (dir of helper_subset), SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_wcs_astropy

"$PY" - "$WORK" "$HELPERS/helper_subset" <<'EOF'
import os, subprocess, sys, warnings
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS, FITSFixedWarning
from astropy.coordinates import SkyCoord, FK4
import astropy.units as u

warnings.simplefilter('ignore', FITSFixedWarning)
work, helper = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(20240917)
failures = []
worst = {'position': 0.0, 'box_centre': 0.0, 'box_edge': 0, 'corner': 0, 'range': 0, 'sip_full': 0.0}
checks = 0

def fail(msg):
    failures.append(msg)
    if len(failures) <= 30:
        print('MISMATCH', msg)

def cd_of(c1, c2, t_deg, skew_deg=0.0):
    """CD = [[c1 cos t, -c2 sin t], [c1 sin t, c2 cos t]], column 2 turned by skew more."""
    t, t2 = np.radians(t_deg), np.radians(t_deg + skew_deg)
    return [('CD1_1', c1 * np.cos(t)), ('CD1_2', -c2 * np.sin(t2)),
            ('CD2_1', c1 * np.sin(t)), ('CD2_2', c2 * np.cos(t2))]

def write(name, shape, cards):
    """A BITPIX 8 image of zeros with the cards; shape is numpy's (slowest first)."""
    path = os.path.join(work, name + '.fits')
    h = fits.Header()
    for k, v in cards:
        h[k] = v
    fits.PrimaryHDU(np.zeros(shape, np.uint8), header=h).writeto(path, overwrite=True)
    return path

def window(path, subset):
    """(exit status, {axis: (skip, take)}, text) of helper_subset on the
    image name path + ',' + subset."""
    res = subprocess.run([helper, path + ',' + subset], capture_output=True, text=True)
    axes = {}
    for line in res.stdout.splitlines():
        p = line.split()
        if p and p[0] == 'axis' and p[3] != '?':
            axes[int(p[1])] = (int(p[3]), int(p[5]))
    return res.returncode, axes, res.stdout + res.stderr

def sky_text(letter, lon, lat, size=None):
    t = '%s%.7f%+.7f' % (letter, lon, lat)
    return t if size is None else t + '^%.5f' % size

def core_pixel(w, lon, lat):
    """astropy's 1-based pixel of a world position, without distortions."""
    return w.wcs_world2pix([[lon, lat]], 1)[0]

def to_letter(system, lon, lat):
    """Position (lon, lat) of the header's frame written in the library's
    system letter: the same frame, or FK4 B1950 turned galactic."""
    if system == 'g->r':
        c = SkyCoord(lon * u.deg, lat * u.deg, frame=FK4(equinox='B1950')).galactic
        return 'g', c.l.deg, c.b.deg
    return system, lon, lat

def check_positions(tag, path, w, system, nx, ny, n=40):
    """Single positions all over the image: the library's pixel (take 1) must
    be astropy's pixel rounded, within 1 pixel."""
    global checks
    for _ in range(n):
        px, py = rng.uniform(3, nx - 2), rng.uniform(3, ny - 2)
        lon, lat = w.wcs_pix2world([[px, py]], 1)[0]
        letter, l2, b2 = to_letter(system, lon, lat)
        text = sky_text(letter, l2, b2)
        rc, axes, out = window(path, text)
        checks += 1
        if rc != 0 or axes.get(1, (0, 0))[1] != 1 or axes.get(2, (0, 0))[1] != 1:
            fail('%s %s: %s' % (tag, text, out.strip()))
            continue
        d = max(abs(axes[1][0] + 1 - px), abs(axes[2][0] + 1 - py))
        worst['position'] = max(worst['position'], d)
        if d > 1.0:
            fail('%s %s: pixel (%d, %d), astropy (%.2f, %.2f)' % (tag, text, axes[1][0] + 1,
                                                                  axes[2][0] + 1, px, py))

def range_box(lo, hi):
    """(first, last) pixel of the range lo .. hi, rounded as the library
    rounds the ends of a range."""
    first = int(np.trunc(lo - 1 + 0.5)) + 1
    return first, int(np.trunc(hi + 0.5))

def size_box(centre, size_px):
    """(first, last) pixel of a box of size_px pixels around centre, rounded
    as the library rounds a centre and a size."""
    take = max(1, int(np.trunc(abs(size_px) + 0.5)))
    first = int(np.trunc(centre - 1 + 0.5)) - take // 2 + 1
    return first, first + take - 1

def check_boxes(tag, path, w, system, nx, ny, rotated, n=15):
    """Boxes 'l b ^ s', 5 to 40 pixels wide, around centres near the
    reference pixel.  The library's box must be, within 1 pixel at each
    edge, the box its rounding makes of astropy's centre pixel and of s over
    astropy's pixel scales; for unrotated frames also the box of the centre
    and extent of astropy's pixels of the sky corners (l +- s / 2 cos b,
    b +- s / 2)."""
    global checks
    sx, sy = (float(s.to_value(u.deg)) for s in w.proj_plane_pixel_scales())
    cx, cy = w.wcs.crpix
    for _ in range(n):
        px, py = cx + rng.uniform(-60, 60), cy + rng.uniform(-60, 60)
        size = rng.uniform(5, 40) * min(sx, sy)
        lon, lat = w.wcs_pix2world([[px, py]], 1)[0]
        letter, l2, b2 = to_letter(system, lon, lat)
        text = sky_text(letter, l2, b2, size)
        rc, axes, out = window(path, text)
        checks += 1
        if rc != 0 or 1 not in axes or 2 not in axes:
            fail('%s %s: %s' % (tag, text, out.strip()))
            continue
        got = [(axes[a][0] + 1, axes[a][0] + axes[a][1]) for a in (1, 2)]
        # The centre of the box against astropy's centre pixel.
        for k, c in ((0, px), (1, py)):
            d = abs((got[k][0] + got[k][1]) / 2.0 - c)
            worst['box_centre'] = max(worst['box_centre'], d)
            if d > 1.0:
                fail('%s %s: box centre %.1f on axis %d, astropy %.2f' % (
                    tag, text, (got[k][0] + got[k][1]) / 2.0, k + 1, c))
        # Each edge against the box of astropy's centre and scales.
        want = [size_box(px, size / sx), size_box(py, size / sy)]
        d = max(abs(got[k][e] - want[k][e]) for k in (0, 1) for e in (0, 1))
        worst['box_edge'] = max(worst['box_edge'], d)
        if d > 1:
            fail('%s %s: box %s, astropy %s' % (tag, text, got, want))
        if rotated:
            continue
        half_lon = size / 2 / np.cos(np.radians(lat))
        corners = np.array([core_pixel(w, lon + sl * half_lon, lat + sb * size / 2)
                            for sl in (-1, 1) for sb in (-1, 1)])
        want = [size_box((corners[:, k].min() + corners[:, k].max()) / 2,
                         corners[:, k].max() - corners[:, k].min()) for k in (0, 1)]
        d = max(abs(got[k][e] - want[k][e]) for k in (0, 1) for e in (0, 1))
        worst['corner'] = max(worst['corner'], d)
        if d > 1:
            fail('%s %s: box %s, sky corners %s' % (tag, text, got, want))

NX, NY = 600, 500
gal = [('CTYPE1', 'GLON-TAN'), ('CTYPE2', 'GLAT-TAN'), ('CRPIX1', 300.5), ('CRPIX2', 250.5)]
frames = [
    # tag, cards, system letter, rotated
    ('gal_cd_turned30', gal + [('CRVAL1', 120.0), ('CRVAL2', 30.0)] + cd_of(-0.01, 0.01, 30), 'g', True),
    ('gal_cd_mirrored', gal + [('CRVAL1', 45.0), ('CRVAL2', -60.0), ('CD1_1', 0.01), ('CD2_2', 0.01)], 'g', False),
    ('gal_cd_mirrored_turned135', gal + [('CRVAL1', 300.0), ('CRVAL2', 10.0)] + cd_of(0.008, 0.01, 135), 'g', True),
    ('gal_cd_half_turn', gal + [('CRVAL1', 200.0), ('CRVAL2', -5.0), ('CD1_1', 0.01), ('CD2_2', -0.01)], 'g', False),
    ('gal_cd_small_skew', gal + [('CRVAL1', 80.0), ('CRVAL2', 20.0)] + cd_of(-0.01, 0.01, -60, 0.004), 'g', True),
    ('gal_pc_turned', gal + [('CRVAL1', 10.0), ('CRVAL2', 45.0), ('CDELT1', -0.012), ('CDELT2', 0.012),
                             ('PC1_1', np.cos(np.radians(-20))), ('PC1_2', np.sin(np.radians(-20))),
                             ('PC2_1', -np.sin(np.radians(-20))), ('PC2_2', np.cos(np.radians(-20))),
                             ('CROTA2', 50.0)], 'g', True),
    ('gal_sin_cd', [('CTYPE1', 'GLON-SIN'), ('CTYPE2', 'GLAT-SIN'), ('CRPIX1', 280.0), ('CRPIX2', 260.0),
                    ('CRVAL1', 150.0), ('CRVAL2', 70.0)] + cd_of(-0.02, 0.02, 60), 'g', True),
    ('gal_ait_cd', [('CTYPE1', 'GLON-AIT'), ('CTYPE2', 'GLAT-AIT'), ('CRPIX1', 300.5), ('CRPIX2', 250.5),
                    ('CRVAL1', 0.0), ('CRVAL2', 0.0), ('CD1_1', -0.2), ('CD2_2', 0.2)], 'g', False),
    ('fk4_cd_turned', [('CTYPE1', 'RA---TAN'), ('CTYPE2', 'DEC--TAN'), ('RADESYS', 'FK4'), ('EQUINOX', 1950.0),
                       ('CRPIX1', 310.0), ('CRPIX2', 240.0), ('CRVAL1', 187.5), ('CRVAL2', 45.0)]
                      + cd_of(-0.01, 0.01, -35), 'r', True),
    ('fk4_cd_galactic_position', [('CTYPE1', 'RA---TAN'), ('CTYPE2', 'DEC--TAN'), ('RADESYS', 'FK4'),
                                  ('EQUINOX', 1950.0), ('CRPIX1', 310.0), ('CRPIX2', 240.0),
                                  ('CRVAL1', 250.0), ('CRVAL2', -30.0)] + cd_of(-0.01, 0.01, 100), 'g->r', True),
]
for tag, cards, system, rotated in frames:
    path = write(tag, (NY, NX), cards)
    w = WCS(fits.getheader(path))
    check_positions(tag, path, w, system, NX, NY)
    check_boxes(tag, path, w, system, NX, NY, rotated)

# RA---TAN-SIP: the box ignores the distortion.  Against astropy without the
# distortion within 1 pixel; against astropy with it, within the largest
# distortion over the image plus 1 pixel.
sip_cards = [('CTYPE1', 'RA---TAN-SIP'), ('CTYPE2', 'DEC--TAN-SIP'), ('RADESYS', 'FK4'), ('EQUINOX', 1950.0),
             ('CRPIX1', 300.5), ('CRPIX2', 250.5), ('CRVAL1', 30.0), ('CRVAL2', -20.0)] + cd_of(-0.01, 0.01, 10) + [
             ('A_ORDER', 2), ('A_2_0', 1e-5), ('A_1_1', -4e-6), ('B_ORDER', 2), ('B_0_2', 8e-6), ('B_2_0', 3e-6)]
path = write('sip_cd', (NY, NX), sip_cards)
w = WCS(fits.getheader(path))
check_positions('sip_cd', path, w, 'r', NX, NY)
check_boxes('sip_cd', path, w, 'r', NX, NY, True)
grid = np.array([[x, y] for x in np.linspace(1, NX, 13) for y in np.linspace(1, NY, 11)])
distortion = np.abs(w.all_world2pix(w.wcs_pix2world(grid, 1), 1) - grid).max()
for _ in range(30):
    px, py = rng.uniform(3, NX - 2), rng.uniform(3, NY - 2)
    lon, lat = w.all_pix2world([[px, py]], 1)[0]
    rc, axes, out = window(path, sky_text('r', lon, lat))
    checks += 1
    if rc != 0:
        fail('sip_cd full: %s' % out.strip())
        continue
    d = max(abs(axes[1][0] + 1 - px), abs(axes[2][0] + 1 - py))
    worst['sip_full'] = max(worst['sip_full'], d)
    if d > distortion + 1.0:
        fail('sip_cd with distortion: %.2f pixels off, distortion %.2f' % (d, distortion))
rc, axes, out = window(path, '@10:20,@5')
if rc != 0 or axes.get(1) != (9, 11) or axes.get(2) != (4, 1):
    fail('sip_cd pixel subset: %s' % out.strip())

# Cubes: world ranges on a velocity axis scaled by CD3_3 or PC3_3 x CDELT3.
CX, CY, CZ = 100, 80, 40
cube = [('CTYPE1', 'GLON-TAN'), ('CTYPE2', 'GLAT-TAN'), ('CTYPE3', 'VELO-LSR'), ('CRPIX1', 50.5),
        ('CRPIX2', 40.5), ('CRPIX3', 3.0), ('CRVAL1', 120.0), ('CRVAL2', 30.0), ('CRVAL3', -50000.0)]
cubes = [('cube_cd', cube + cd_of(-0.01, 0.01, 30) + [('CD3_3', 2500.0)]),
         ('cube_pc', cube + [('CDELT1', -0.01), ('CDELT2', 0.01), ('CDELT3', -1500.0),
                             ('PC1_1', np.cos(0.3)), ('PC1_2', np.sin(0.3)), ('PC2_1', -np.sin(0.3)),
                             ('PC2_2', np.cos(0.3)), ('PC3_3', 1.0)])]
for tag, cards in cubes:
    path = write(tag, (CZ, CY, CX), cards)
    w = WCS(fits.getheader(path))
    for _ in range(12):
        v1, v2 = w.wcs_pix2world([[50, 40, rng.uniform(1, CZ)], [50, 40, rng.uniform(1, CZ)]], 1)[:, 2]
        text = ',,%.3f:%.3f' % (v1, v2)
        rc, axes, out = window(path, text)
        checks += 1
        if rc != 0 or 3 not in axes:
            fail('%s %s: %s' % (tag, text, out.strip()))
            continue
        p = w.wcs_world2pix([[120.0, 30.0, v1], [120.0, 30.0, v2]], 1)[:, 2]
        got = (axes[3][0] + 1, axes[3][0] + axes[3][1])
        want = range_box(p.min(), p.max())
        d = max(abs(got[0] - want[0]), abs(got[1] - want[1]))
        worst['range'] = max(worst['range'], d)
        if d > 1:
            fail('%s %s: pixels %s, astropy %.2f..%.2f' % (tag, text, got, p.min(), p.max()))
    check_positions(tag, path, w.celestial, 'g', CX, CY, n=10)

# Refusals: -4 from im_open with the reason; pixel subsets still open.
refused = [
    ('skewed', gal + [('CRVAL1', 120.0), ('CRVAL2', 30.0)] + cd_of(-0.01, 0.01, 30, 0.8),
     'g120.0+30.0^0.5', 'CD matrix of axes 1 and 2 is skewed by 0.8 degrees'),
    ('singular', gal + [('CRVAL1', 120.0), ('CRVAL2', 30.0), ('CD1_1', -0.01), ('CD1_2', -0.01),
                        ('CD2_1', 0.01), ('CD2_2', 0.01)],
     'g120.0+30.0', 'CD matrix of axes 1 and 2 is singular'),
    ('zea', [('CTYPE1', 'RA---ZEA'), ('CTYPE2', 'DEC--ZEA'), ('CRPIX1', 300.5), ('CRPIX2', 250.5),
             ('CRVAL1', 187.5), ('CRVAL2', 45.0)] + cd_of(-0.01, 0.01, 0),
     'r12h30m+45d^0.5', "unknown projection ZEA of axis 1 ('RA---ZEA')"),
    ('car', [('CTYPE1', 'GLON-CAR'), ('CTYPE2', 'GLAT-CAR'), ('CRPIX1', 300.5), ('CRPIX2', 250.5),
             ('CRVAL1', 0.0), ('CRVAL2', 0.0), ('CD1_1', -0.05), ('CD2_2', 0.05)],
     'GLON-CAR1.0:2.0', "unknown projection CAR of axis 1 ('GLON-CAR')"),
]
for tag, cards, subset, reason in refused:
    path = write(tag, (NY, NX), cards)
    rc, axes, out = window(path, subset)
    checks += 1
    if rc != 2 or 'open -4' not in out or ('reason subset refused: field 1 (' not in out) or reason not in out:
        fail('%s %s: expected -4 with "%s", got %s' % (tag, subset, reason, out.strip()))
    rc, axes, out = window(path, '@100:150,@7')
    if rc != 0 or axes.get(1) != (99, 51) or axes.get(2) != (6, 1):
        fail('%s pixel subset: %s' % (tag, out.strip()))
path = write('cube_mixed', (CZ, CY, CX), cube + cd_of(-0.01, 0.01, 0) + [('CD3_3', 2500.0), ('CD3_1', 10.0)])
rc, axes, out = window(path, ',,-45000.0:-40000.0')
checks += 1
if rc != 2 or 'CD matrix couples axis 3 with axis 1 (CD3_1 is not 0)' not in out:
    fail('cube_mixed: %s' % out.strip())
rc, axes, out = window(path, 'g120.0+30.0,@5')
if rc != 0 or axes.get(3) != (4, 1):
    fail('cube_mixed sky and pixel fields: %s' % out.strip())

print('script_wcs_astropy: %d subsets compared; largest difference from astropy in pixels: '
      'positions %.3f, box centres %.3f, box edges %d, sky-corner edges %d, velocity range '
      'edges %d; RA---TAN-SIP with its distortion %.3f (distortion up to %.3f)' % (
          checks, worst['position'], worst['box_centre'], worst['box_edge'], worst['corner'],
          worst['range'], worst['sip_full'], distortion))
print('%d mismatches' % len(failures))
sys.exit(1 if failures else 0)
EOF
