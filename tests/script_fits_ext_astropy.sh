#!/bin/bash
# FITS image extensions written by astropy: pixels of every BITPIX (scaled
# and not, floats with BSCALE/BZERO among them) read through "file[N]",
# "file[NAME]" and "file[NAME,VER]" with subsets agree with astropy; a
# tile-compressed image and a table are refused; the tool flattens an
# extension into a valid single-image FITS file (fitsverify) without the
# cards that placed the extension in its file, with the primary's cards
# when the extension says INHERIT = T.
# Environment: FLATTEN, HELPERS (dir of helper_readpix), SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_fits_ext_astropy

exec "$PY" - "$WORK" "$HELPERS/helper_readpix" "$FLATTEN" <<'EOF'
import os, re, subprocess, sys
import numpy as np
from astropy.io import fits
from peer_checks import Checks

work, helper, flatten = sys.argv[1:4]
os.chdir(work)
rng = np.random.default_rng(7)
check = Checks("script_fits_ext_astropy")

# One file: an empty primary, then image extensions of every type, a table
# and a tile-compressed image.  (name, ver, dtype, scale, zero)
specs = [("SCI", 1, np.uint8, 1.0, 0.0), ("SCI", 2, np.int16, 0.5, 100.0),
         ("SCI", 3, np.int32, 1.0, 0.0), ("FLT", 1, np.float32, 2.0, -1.0),
         ("DBL", 1, np.float64, 1.0, 0.0), ("U16", 1, np.uint16, 1.0, 0.0)]
prim = fits.PrimaryHDU()
prim.header["TELESCOP"] = "HST"
prim.header["OBSERVER"] = "someone"
prim.header.add_history("primary history card")
hdus = [prim]
shape = (7, 9)
for name, ver, dt, s, z in specs:
    if np.dtype(dt).kind == "f":
        data = rng.normal(0, 50, size=shape).astype(dt)
        data[0, 0] = np.nan
    else:
        info = np.iinfo(dt)
        data = rng.integers(info.min, info.max, size=shape, endpoint=True).astype(dt)
    h = fits.ImageHDU(data, name=name, ver=ver)
    if s != 1.0 or z != 0.0:
        h.header["BSCALE"] = s
        h.header["BZERO"] = z
    h.header["INHERIT"] = name == "SCI"
    hdus.append(h)
hdus.append(fits.BinTableHDU.from_columns([fits.Column(name="a", format="J", array=[1, 2])],
                                          name="TAB"))
hdus.append(fits.CompImageHDU(np.arange(12, dtype=np.int16).reshape(3, 4), name="CMP"))
fits.HDUList(hdus).writeto("mef.fits", overwrite=True)

def read_lib(name, kind="d"):
    res = subprocess.run([helper, name, kind, "5"], capture_output=True, text=True)
    if res.returncode != 0:
        return None, res.returncode, res.stdout
    lines = res.stdout.split("\n")
    n = int(lines[0].split()[1])
    vals = [np.nan if t in ("blank", "nan") else float(t) for t in lines[1:1 + n]]
    return np.array(vals), 0, ""

with fits.open("mef.fits") as hl:
    for k, (name, ver, dt, s, z) in enumerate(specs, start=1):
        want = np.array(hl[k].data, dtype=np.float64)   # astropy's scaled values
        for sel, sub, sl in (("[%d]" % k, "", np.s_[:, :]),
                             ("[%s,%d]" % (name.lower(), ver), "", np.s_[:, :]),
                             ("[%s,%d]" % (name, ver), ",@2:5,@3:6", np.s_[2:6, 1:5])):
            got, rc, out = read_lib("mef.fits" + sel + sub)
            if not check(got is not None, "%s%s: helper rc %d %s" % (sel, sub, rc, out[:80])):
                continue
            w = want[sl].reshape(-1)
            same = (np.isnan(got) & np.isnan(w)) | np.isclose(got, w, rtol=1e-6, atol=1e-6)
            check(got.size == w.size and bool(np.all(same)),
                  "%s%s: pixels differ from astropy (%d of %d)" % (sel, sub, int((~same).sum()), w.size))

for sel, why in (("[7]", "is a BINTABLE, not an image"), ("[CMP]", "tile-compressed"),
                 ("[NOPE]", "no extension [NOPE]")):
    res = subprocess.run([flatten], input=("mef.fits%s\nout.fits\n1 1\n5 1\n1 5\n" % sel).encode(),
                         capture_output=True)
    err = res.stderr.decode()
    check(res.returncode == 255 and err.startswith('Error opening input file "mef.fits%s": ' % sel)
          and why in err and not os.path.exists("out.fits"),
          "refusal of %s: status %d, %r" % (sel, res.returncode, err))

# The tool on an inheriting extension: a valid primary file with the
# extension's pixels flattened and the primary's cards carried over.
points = "".join("%d %d\n" % p for p in [(1, 1), (9, 1), (1, 7), (9, 7), (5, 4)])
res = subprocess.run([flatten], input=("mef.fits[SCI,2]\nflat.fits\n" + points).encode(),
                     capture_output=True)
if check(res.returncode == 0, "flatten of [SCI,2]: status %d %r" % (res.returncode, res.stderr)):
    v = subprocess.run(["fitsverify", "flat.fits"], capture_output=True, text=True).stdout
    m = re.search(r"(\d+) warning\(s\) and (\d+) error\(s\)", v)
    check(m is not None and m.group(2) == "0", "fitsverify of flat.fits:\n" + v)
    h = fits.getheader("flat.fits")
    for key in ("XTENSION", "PCOUNT", "GCOUNT", "INHERIT"):
        check(key not in h, "flat.fits carries %s" % key)
    check(h.get("TELESCOP") == "HST" and h.get("EXTNAME") == "SCI",
          "flat.fits lacks the inherited TELESCOP or its EXTNAME")
    with fits.open("mef.fits") as hl:
        z = np.array(hl["SCI", 2].data, dtype=np.float64)
    yy, xx = np.mgrid[1:8, 1:10]
    pts = [(1, 1), (9, 1), (1, 7), (9, 7), (5, 4)]
    a = np.array([[1, x, y] for x, y in pts], float)
    abc = np.linalg.lstsq(a, np.array([z[y - 1, x - 1] for x, y in pts]), rcond=None)[0]
    flat = z - (abc[0] + abc[1] * xx + abc[2] * yy)
    out = fits.getdata("flat.fits").astype(np.float64)
    tol = float(h["BSCALE"]) + 1e-4 * np.abs(flat).max()
    check(np.all(np.abs(out - flat) <= tol), "flat.fits differs from numpy by %g (tolerance %g)"
          % (np.abs(out - flat).max(), tol))

check.finish()
EOF
