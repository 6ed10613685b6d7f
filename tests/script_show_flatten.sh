#!/bin/bash
# The picture script examples/show_flatten.py: it draws the sample's run
# (the same bytes as examples/flatten_demo.png, and the same bytes twice)
# and runs of the tool on images written by astropy of every BITPIX, with
# blanks, BSCALE/BZERO, a third axis of length 1, an extension by name and
# a pixel subset; each PNG has the size asked for and three panels with
# their colour bars, the plane it reports matches the tool's fit, and the
# reference points are sorted into used, blank and outside as the tool
# does.  A missing, non-FITS or non-image input fails with a message and
# status 1, a usage error with status 2, and neither leaves a picture.
# Environment: FLATTEN, SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_show_flatten

exec "$PY" - "$WORK" "$FLATTEN" "$SRC_DIR" <<'EOF'
import os, re, shutil, struct, subprocess, sys
import numpy as np
from astropy.io import fits
from peer_checks import Checks, write_fits

work, flatten, src = sys.argv[1:4]
script = os.path.join(src, "examples", "show_flatten.py")
os.chdir(work)
check = Checks("script_show_flatten")
rng = np.random.default_rng(11)


def show(*args, cwd=None):
    """Run the picture script; (status, stdout, stderr)."""
    r = subprocess.run([sys.executable, script, *args], capture_output=True, text=True, cwd=cwd)
    return r.returncode, r.stdout, r.stderr


def png_size(path):
    """Width and height from a PNG's IHDR chunk, or None if it is not one."""
    with open(path, "rb") as fp:
        head = fp.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def described(out, key):
    """The line of --describe output that starts with key."""
    return next((l for l in out.splitlines() if l.startswith(key)), "")


def tool_plane(job):
    """Run the tool at debug level 3 on a job file; its A, B, C."""
    with open(job, "rb") as fp:
        r = subprocess.run([flatten, "-3"], stdin=fp, capture_output=True, text=True)
    if r.returncode != 0:
        return None, r.stderr
    return [float(re.search(r"^%s = (\S+)" % k, r.stderr, re.M).group(1)) for k in "ABC"], r.stderr


def check_drawn(label, job, png, coef, points, size=(1200, 400), extra=()):
    """Draw a job's run and check size, panels, the plane and the points
    (used, blank, outside); coef is the tool's fit."""
    st, out, err = show("--job", job, "-o", png, "--describe", "--size", "%dx%d" % size, *extra)
    if not check(st == 0, "%s: status %d: %s" % (label, st, err.strip())):
        return
    check(png_size(png) == size, "%s: PNG size %s, not %s" % (label, png_size(png), size))
    check("3 panels, 3 colour bars" in described(out, "figure"),
          "%s: %s" % (label, described(out, "figure")))
    check(described(out, "points") == "points: %d used, %d blank, %d outside" % points,
          "%s: %s, expected %s" % (label, described(out, "points"), points))
    m = re.fullmatch(r"plane: A=(\S+) B=(\S+) C=(\S+)", described(out, "plane"))
    if not check(m is not None, "%s: no plane in %r" % (label, out)):
        return
    got = [float(x) for x in m.groups()]
    # The plane drawn is input - output: it differs from the fit only by
    # the output's rounding (one step of a scaled integer output) and the
    # tool's single precision; the tool prints A, B and C to six decimals.
    h = fits.getheader(job_names(job)[1])
    step = float(h.get("BSCALE", 1.0)) if h["BITPIX"] > 0 else 0.0
    nx, ny = h["NAXIS1"], h["NAXIS2"]
    for s, l in ((1, 1), (nx, 1), (1, ny), (nx, ny)):
        a = coef[0] + coef[1] * s + coef[2] * l
        b = got[0] + got[1] * s + got[2] * l
        tol = step + 1e-6 * max(1.0, abs(a)) + 5e-7 * (1 + s + l)
        check(abs(a - b) <= tol, "%s: plane at (%d,%d) %.6f drawn, %.6f fitted (step %g)"
              % (label, s, l, b, a, step))


def job_names(job):
    with open(job) as fp:
        return [fp.readline().rstrip("\n"), fp.readline().rstrip("\n")]




def write_job(path, inp, out, points):
    with open(path, "w") as fp:
        fp.write("%s\n%s\n" % (inp, out))
        for s, l in points:
            fp.write("%d %d   a note after the point\n" % (s, l))
        fp.write("not a point\n")


# --- The sample, as the demo draws it: the committed picture's bytes. ---
os.mkdir("demo")
for f in ("sample.fits", "sample.txt"):
    shutil.copy(os.path.join(src, "examples", f), "demo")
with open("demo/sample.txt", "rb") as fp:
    r = subprocess.run([flatten, "-3"], stdin=fp, cwd="demo", capture_output=True, text=True)
check(r.returncode == 0, "sample: the tool failed: %s" % r.stderr)
st, _, err = show("--job", "sample.txt", "-o", "flatten_demo.png", cwd="demo")
check(st == 0, "sample: status %d: %s" % (st, err))
committed = os.path.join(src, "examples", "flatten_demo.png")
same = os.path.exists("demo/flatten_demo.png") and \
    open("demo/flatten_demo.png", "rb").read() == open(committed, "rb").read()
check(same, "the demo's picture differs from examples/flatten_demo.png: after a deliberate "
      "change, make demo and copy build/demo/flatten_demo.png there")
check(os.path.getsize(committed) < 150 * 1024, "examples/flatten_demo.png is %d bytes"
      % os.path.getsize(committed))
# Names in a job file are found beside it when run from elsewhere.
st, _, err = show("--job", "demo/sample.txt", "-o", "again.png")
check(st == 0 and open("again.png", "rb").read() == open("demo/flatten_demo.png", "rb").read(),
      "sample from another folder: status %d %s, or other bytes" % (st, err))

# --- Generated images of every stored type, flattened by the tool. ---
ny, nx = 30, 40
yy, xx = np.mgrid[1:ny + 1, 1:nx + 1]
sky = 50.0 + 0.9 * xx + 1.7 * yy
grid = [(s, l) for s in (3, 20, 38) for l in (2, 15, 29)]
blank_at = (11, 7)                       # a reference point on a blank pixel
points = grid + [blank_at, (0, 5), (41, 5), (400, 4000)]
expected = (len(grid), 1, 3)

# (name, BITPIX, cards, blank code or None, shape)
cases = [("b8", 8, [("BLANK", 255)], 255, (ny, nx)),
         ("b16", 16, [("BSCALE", 0.05), ("BZERO", 1000.0), ("BLANK", -32768)], -32768, (ny, nx)),
         ("b16unit3", 16, [("BLANK", -1)], -1, (1, ny, nx)),
         ("b32", 32, [("BZERO", -7.0), ("BLANK", -999)], -999, (ny, nx)),
         ("f32", -32, [("CRPIX1", 20.5), ("CRPIX2", 10.0)], None, (ny, nx))]
for name, bitpix, cards, blank, shape in cases:
    c = dict(cards)
    phys = sky + rng.normal(0, 1.5, size=sky.shape)
    raw = (phys - c.get("BZERO", 0.0)) / c.get("BSCALE", 1.0)
    if bitpix > 0:
        raw = np.rint(raw)
    raw[blank_at[1] - 1, blank_at[0] - 1] = blank if blank is not None else np.nan
    raw[20:23, 30:33] = blank if blank is not None else np.nan
    write_fits(name + ".fits", bitpix, raw.reshape(shape), cards)
    write_job(name + ".txt", name + ".fits", name + "_out.fits", points)
    coef, err = tool_plane(name + ".txt")
    if check(coef is not None, "%s: the tool failed: %s" % (name, err)):
        check_drawn(name, name + ".txt", name + ".png", coef, expected)

# Pixel subsets as the tool reads them: offsets from the reference pixel,
# open ends, centred boxes, ends in either order, a range past the edge.
for sub in ("@-5:+5,@+2:", "^@16,^@12", "@30:12,@25:2", "@35:99,:@9"):
    write_job("fsub.txt", "f32.fits," + sub, "fsub_out.fits", [(1, 1), (3, 1), (1, 3), (3, 3)])
    coef, err = tool_plane("fsub.txt")
    if check(coef is not None, "subset %s: the tool failed: %s" % (sub, err)):
        check_drawn("subset " + sub, "fsub.txt", "fsub.png", coef, (4, 0, 0))

# BITPIX -64, which the tool does not read: the output is written here as
# the input less a known plane.
phys = sky + rng.normal(0, 1.5, size=sky.shape)
phys[blank_at[1] - 1, blank_at[0] - 1] = np.nan
write_fits("f64.fits", -64, (phys - 3.0) / 2.0, [("BSCALE", 2.0), ("BZERO", 3.0)])
known = (-4.25, 0.5, 0.125)
fits.PrimaryHDU(phys - (known[0] + known[1] * xx + known[2] * yy)).writeto("f64_out.fits")
write_job("f64.txt", "f64.fits", "f64_out.fits", points)
check_drawn("f64", "f64.txt", "f64.png", known, expected)

# An extension by name behind an empty primary, whole and as a subset
# (points are then those of the subimage); astropy writes the file.
data = (sky + rng.normal(0, 1.0, size=sky.shape)).astype(np.float32)
data[blank_at[1] - 1, blank_at[0] - 1] = np.nan
fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(np.zeros((2, 2), np.int16), name="OTHER"),
              fits.ImageHDU(data, name="SCI")]).writeto("mef.fits")
write_job("ext.txt", "mef.fits[sci]", "ext_out.fits", points)
coef, err = tool_plane("ext.txt")
if check(coef is not None, "extension: the tool failed: %s" % err):
    check_drawn("extension", "ext.txt", "ext.png", coef, expected, size=(900, 360),
                extra=("--stretch", "percentile", "--percent", "98"))
sub_points = [(1, 1), (20, 1), (20, 15), (1, 15), (blank_at[0] - 4, blank_at[1] - 2), (21, 3)]
write_job("sub.txt", "mef.fits[SCI],@5:24,@3:17", "sub_out.fits", sub_points)
coef, err = tool_plane("sub.txt")
if check(coef is not None, "subset: the tool failed: %s" % err):
    check_drawn("subset", "sub.txt", "sub.png", coef, (4, 1, 1))

# An image wider than the script draws in full is drawn from every other
# pixel; points and the plane still refer to the whole image.  A dollar
# sign in a name is no maths for the title.
wy, wx = np.mgrid[1:21, 1:2601]
wide = (20.0 + 0.01 * wx - 0.5 * wy + rng.normal(0, 0.5, size=wx.shape)).astype(np.float32)
wide[9, 2400] = np.nan
fits.PrimaryHDU(wide).writeto("wide $1$.fits")
write_job("wide.txt", "wide $1$.fits", "wide_out.fits",
          [(1, 1), (2600, 1), (1300, 20), (2600, 20), (2401, 10), (2601, 1)])
coef, err = tool_plane("wide.txt")
if check(coef is not None, "wide: the tool failed: %s" % err):
    check_drawn("wide", "wide.txt", "wide.png", coef, (4, 1, 1))

# Names on the command line with a separate file of points; drawing is
# repeatable byte for byte.
with open("pts.txt", "w") as fp:
    fp.write("3 3\n20 -2\n+5 9x\n12abc 4\n")
for png in ("p1.png", "p2.png"):
    st, out, err = show("b16.fits", "b16_out.fits", "--points", "pts.txt", "-o", png,
                        "--size", "640x300", "--describe")
    check(st == 0, "points file: status %d: %s" % (st, err))
check(png_size("p1.png") == (640, 300), "points file: size %s" % (png_size("p1.png"),))
check(described(out, "points") == "points: 2 used, 0 blank, 1 outside",
      "points file: %s" % described(out, "points"))
check(open("p1.png", "rb").read() == open("p2.png", "rb").read(), "two drawings differ")

# --- Failures: a message naming the cause, status 1 (2 for usage), no PNG. ---
with open("text.fits", "w") as fp:
    fp.write("just some text\n" * 200)
fits.HDUList([fits.PrimaryHDU(), fits.BinTableHDU.from_columns(
    [fits.Column(name="a", format="J", array=[1, 2])])]).writeto("table.fits")
fits.PrimaryHDU(np.zeros((3, 5, 6), np.float32)).writeto("cube.fits")
fits.PrimaryHDU(np.zeros((5, 6), np.float32)).writeto("small.fits")
write_job("missing.txt", "nothere.fits", "b8_out.fits", [])
bad = [
    (["nothere.fits", "b8_out.fits"], 1, "no such file"),
    (["text.fits", "b8_out.fits"], 1, "not a FITS file"),
    (["table.fits[1]", "b8_out.fits"], 1, "not an image"),
    (["mef.fits", "ext_out.fits"], 1, "name an extension"),
    (["mef.fits[NOPE]", "ext_out.fits"], 1, "no extension named NOPE"),
    (["mef.fits[7]", "ext_out.fits"], 1, "no extension 7"),
    (["cube.fits", "cube.fits"], 1, "not a 2-D image"),
    (["small.fits", "b8_out.fits"], 1, "not input and output of one run"),
    (["b8.fits,10.0:20.0", "b8_out.fits"], 1, "only pixel values"),
    (["b8.fits,@50:60", "b8_out.fits"], 1, "selects no pixel"),
    (["b8.fits,@1:2x", "b8_out.fits"], 1, "is no number"),
    (["b8.fits,@1,@2,@3", "b8_out.fits"], 1, "3 subset fields for 2 axes"),
    (["--job", "missing.txt"], 1, "nothere.fits: no such file"),
    (["--job", "nojob.txt"], 1, "nojob.txt"),
    (["b8.fits", "b8_out.fits", "-o", "no/such/dir/x.png"], 1, "cannot write the picture"),
    (["b8.fits", "b8_out.fits", "--size", "12"], 2, "--size"),
    (["b8.fits"], 2, "give the input and flattened images"),
]
for i, (args, status, text) in enumerate(bad):
    png = "bad%d.png" % i
    full = args + ([] if "-o" in args else ["-o", png])
    st, out, err = show(*full)
    check(st == status and text in err and not os.path.exists(png) and
          not os.path.exists("no/such/dir"),
          "%s: status %d (want %d), stderr %r (want %r)" % (args, st, status, err, text))
st, out, err = show("--help")
check(st == 0 and "--job" in out and "--size" in out and "--describe" in out,
      "--help: status %d" % st)
check.finish()
EOF
