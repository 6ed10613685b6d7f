#!/bin/bash
# IRAF reads what the tool writes as .imh: inputs of BITPIX 8, 16 (BSCALE,
# BZERO, BLANK), 32 (BLANK) and -32 (NaN; and with BSCALE/BZERO) are
# flattened to IRAF images, which IRAF's own listpixels and imheader then
# read: real pixels wherever the output needed scaling, values equal to an
# independent numpy computation (blank pixels are 0.0 in IRAF real images),
# and equal to what this library reads back.  Version-1 headers are read by
# 32-bit IRAF 2.17 (the only build that reads them), version-2 headers
# (oifversion=2) by 64-bit IRAF.
# Environment: FLATTEN, HELPERS (dir of helper_readpix), SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_flatten_iraf
IRAF="$SRC_DIR/tools/iraf.sh"
[ -f "$IRAF" ] || { echo "script_flatten_iraf: IRAF peer script $IRAF missing"; exit 1; }

exec "$PY" - "$WORK" "$FLATTEN" "$HELPERS/helper_readpix" "$IRAF" "$SRC_DIR/tests" <<'EOF'
import os, subprocess, sys
import numpy as np

work, flatten, helper, iraf, tests = sys.argv[1:6]
sys.path.insert(0, tests)
import flatten_reference as ref
from peer_checks import Checks

os.chdir(work)
check = Checks("script_flatten_iraf")

def run_iraf(bits32, task, *params, env=None):
    cmd = ["sh", iraf] + (["--32"] if bits32 else []) + [task] + list(params)
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=600, env=env)
    return res.stdout

def listpixels(bits32, image, shape):
    """IRAF's values of a 2-D image, as an array of the given shape."""
    out = run_iraf(bits32, "listpixels", "images=" + os.path.abspath(image),
                   "wcs=logical", "formats=", "verbose=no")
    vals = np.full(shape, np.nan)
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3:
            x, y, v = int(float(fields[0])), int(float(fields[1])), float(fields[2])
            vals[y - 1, x - 1] = v
    return vals

def library(image, shape):
    res = subprocess.run([helper, image, "r"], capture_output=True, text=True)
    lines = res.stdout.split("\n")
    if res.returncode != 0:
        return None
    n = int(lines[0].split()[1])
    v = [np.nan if t in ("blank", "nan") else float(t) for t in lines[1:1 + n]]
    return np.array(v).reshape(shape)

inputs = ref.make_inputs(np.random.default_rng(20240611))
for version, bits32 in (("1", True), ("2", False)):
    env = dict(os.environ, oifversion=version)
    for in_name, (bitpix, points) in inputs.items():
        out = "v%s_%s.imh" % (version, in_name.replace(".fits", ""))
        text = "%s\n%s\n" % (in_name, out) + "".join("%d %d\n" % p for p in points)
        res = subprocess.run([flatten], input=text.encode(), capture_output=True, env=env)
        tag = "%s (header version %s)" % (out, version)
        if not check(res.returncode == 0, "%s: tool status %d %r" % (tag, res.returncode, res.stderr)):
            continue
        _, _, pix = ref.read_as_tool(in_name)
        flat, _ = ref.reference(pix, points)
        blank = np.isnan(pix)
        head = run_iraf(bits32, "imheader", "images=" + os.path.abspath(out), "longheader=no",
                        "userfields=no", "$nargs=1")
        check("[real]" in head, "%s: IRAF sees %r, want real pixels" % (tag, head.strip()))
        got = listpixels(bits32, out, pix.shape)
        want = np.where(blank, 0.0, flat.astype(np.float64))
        diff = np.abs(got - want)
        tol = 1e-5 * np.abs(want) + 1e-5 + 2e-6 * np.nanmax(np.abs(want))
        check(bool(np.all(diff <= tol)), "%s: IRAF values differ from numpy by up to %g"
              % (tag, np.nanmax(diff)))
        mine = library(out, pix.shape)
        if check(mine is not None, "%s: the library cannot read it back" % tag):
            check(bool(np.all(np.abs(mine - got) <= 1e-6 * np.abs(got) + 1e-6)),
                  "%s: the library and IRAF read different values" % tag)

check.finish()
EOF
