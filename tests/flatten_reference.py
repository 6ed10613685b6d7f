#!/usr/bin/python3
"""End-to-end check of the flatten tool against an independent numpy result.

Writes FITS inputs of BITPIX 8, 16 (BSCALE/BZERO, BLANK), 32 (BLANK) and -32
(NaN pixels): a tilted plane, noise and a few bright spots.  Runs the tool on
each, and once on a subimage, then recomputes every output pixel with numpy:
the input pixels as the tool reads them (float32, scaled in two single
precision steps, blanks to NaN), a least-squares plane through the usable
reference pixels (inside the image, not blank), the plane subtracted in
float32, and the output scaling for the output's BITPIX.  The tool's output,
read with astropy, must agree within the quantisation of the stored type;
its header must carry one HISTORY card of the tool and a true data range,
and fitsverify must find no error.

    flatten_reference.py FLATTEN WORK_DIR
"""
import os
import re
import subprocess
import sys

import numpy as np
from astropy.io import fits

HISTORY_TEXT = "Flattened, planar subtraction (KELP flatten V1.1)"
SAMPLES, LINES = 200, 150

# Per output BITPIX: the BLANK code the tool writes and the divisor of the
# pixel range that gives BSCALE.
SCALING = {8: (255, 254.0), 16: (-32768, 65534.0), 32: (-2147483647, 4294967292.0)}

RAW_TYPE = {8: ">u1", 16: ">i2", 32: ">i4", -32: ">f4"}

passed = 0
failed = 0


def check(ok, what):
    """Count one check; print what failed."""
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAIL: " + what)
    return ok


# ---------------------------------------------------------------- inputs

def sky(rng, a, b, c, noise, spots):
    """Physical pixel values: plane a + b*x + c*y (1-based x = sample,
    y = line), Gaussian noise and Gaussian spots (x, y, peak, sigma)."""
    y, x = np.mgrid[1:LINES + 1, 1:SAMPLES + 1].astype(np.float64)
    v = a + b * x + c * y + rng.normal(0.0, noise, (LINES, SAMPLES))
    for sx, sy, peak, sigma in spots:
        v += peak * np.exp(-((x - sx) ** 2 + (y - sy) ** 2) / (2.0 * sigma ** 2))
    return v


def write_fits(path, bitpix, raw, extra):
    """Write a primary HDU by hand: the header cards in order, then the raw
    stored values big-endian, each part padded to 2880 bytes."""
    hdr = fits.Header()
    hdr["SIMPLE"] = True
    hdr["BITPIX"] = bitpix
    hdr["NAXIS"] = 2
    hdr["NAXIS1"] = SAMPLES
    hdr["NAXIS2"] = LINES
    for key, value in extra:
        if key == "HISTORY":
            hdr.add_history(value)
        else:
            hdr[key] = value
    data = np.ascontiguousarray(raw, dtype=RAW_TYPE[bitpix]).tobytes()
    data += b"\0" * (-len(data) % 2880)
    with open(path, "wb") as out:
        out.write(hdr.tostring(padding=True).encode("ascii"))
        out.write(data)


def make_inputs(rng):
    """Write the four inputs; return {name: (bitpix, points)}."""
    spots = [(40, 30, 120.0, 2.0), (150, 100, 90.0, 3.0), (90, 70, 60.0, 1.5)]
    wcs = [("CTYPE1", "RA---TAN"), ("CTYPE2", "DEC--TAN"),
           ("CRPIX1", 100.5), ("CRPIX2", 75.5),
           ("CRVAL1", 150.25), ("CRVAL2", -30.5),
           ("CDELT1", -0.001), ("CDELT2", 0.001)]
    stale = [("DATAMAX", 1.0e6), ("DATAMIN", -1.0e6)]

    # Reference points shared by the full-image runs: a grid clear of the
    # spots, one point outside the image, one duplicate, and (200, 150), the
    # last pixel.
    base = [(5, 5), (60, 4), (120, 6), (195, 5), (4, 75), (70, 80), (130, 60),
            (196, 70), (6, 145), (65, 140), (125, 146), (197, 144), (30, 110),
            (170, 30), (100, 120), (200, 150), (201, 10), (60, 4), (0, 40)]
    inputs = {}

    # BITPIX 8: unsigned bytes, no scaling.
    v = sky(rng, 40.0, 0.3, 0.2, 3.0, spots)
    raw = np.clip(np.rint(v), 0, 255).astype(np.uint8)
    write_fits("in8.fits", 8, raw, [("OBJECT", "byte field")] + stale)
    inputs["in8.fits"] = (8, base)

    # BITPIX 16 with BSCALE/BZERO and BLANK; one blank pixel away from the
    # reference points.
    v = sky(rng, 1000.0, 2.0, -1.5, 4.0, [(x, y, 5 * p, s) for x, y, p, s in spots])
    raw = np.rint((v - 1200.0) / 0.05).astype(np.int16)
    raw[50, 50] = -32768
    write_fits("in16.fits", 16, raw,
               [("BSCALE", 0.05), ("BZERO", 1200.0), ("BLANK", -32768),
                ("OBJECT", "scaled field")] + wcs + stale +
               [("HISTORY", "Synthetic input for the end-to-end check")])
    inputs["in16.fits"] = (16, base)

    # BITPIX 32 with BLANK; values beyond 2**24 so that reading rounds to
    # float; one blank at a reference point (left out of the fit).
    v = sky(rng, 3.0e7, 5000.0, 2500.0, 800.0, [(x, y, 2.0e5 * p, s) for x, y, p, s in spots])
    raw = np.rint(v).astype(np.int32)
    raw[70 - 1, 196 - 1] = -999999
    raw[20, 180] = -999999
    write_fits("in32.fits", 32, raw, [("BLANK", -999999), ("OBJECT", "long field")] + stale)
    inputs["in32.fits"] = (32, base)

    # BITPIX -32 with NaN pixels, one of them at reference point (130, 60).
    v = sky(rng, -12.5, 0.01, 0.035, 0.02, [(x, y, p / 50, s) for x, y, p, s in spots])
    raw = v.astype(np.float32)
    for x, y in [(130, 60), (10, 20), (180, 140)]:
        raw[y - 1, x - 1] = np.nan
    write_fits("inf.fits", -32, raw, [("OBJECT", "float field")] + wcs)
    inputs["inf.fits"] = (-32, base)

    # BITPIX -32 with BSCALE/BZERO, which apply to floats as to integers;
    # the output must carry neither.
    write_fits("infs.fits", -32, ((v - 40.0) / 2.5).astype(np.float32),
               [("BSCALE", 2.5), ("BZERO", 40.0), ("OBJECT", "scaled float field")])
    inputs["infs.fits"] = (-32, base)
    return inputs


# ---------------------------------------------------------------- reference

def read_as_tool(path):
    """The input pixels as the tool's float reader delivers them: stored
    values to float32, BLANK (or a non-finite float) to NaN, then for
    every type times BSCALE and plus BZERO, each rounded to float32."""
    with fits.open(path, do_not_scale_image_data=True) as hdul:
        h = hdul[0].header
        raw = np.array(hdul[0].data)
    bitpix = h["BITPIX"]
    pix = raw.astype(np.float32)
    if bitpix > 0:
        if "BLANK" in h:
            pix[raw == h["BLANK"]] = np.nan
    else:
        pix[~np.isfinite(pix)] = np.nan
    bscale = float(h.get("BSCALE", 1.0))
    bzero = float(h.get("BZERO", 0.0))
    if bscale != 1.0:
        pix = (pix.astype(np.float64) * bscale).astype(np.float32)
    if bzero != 0.0:
        pix = (pix.astype(np.float64) + bzero).astype(np.float32)
    return bitpix, h, pix


def reference(pix, points):
    """Least-squares plane through the usable points, subtracted in float32.
    Returns the flattened pixels and the coefficients (A, B, C)."""
    lines, samples = pix.shape
    xs, ys, zs = [], [], []
    for x, y in points:
        if 1 <= x <= samples and 1 <= y <= lines and np.isfinite(pix[y - 1, x - 1]):
            xs.append(x)
            ys.append(y)
            zs.append(float(pix[y - 1, x - 1]))
    design = np.column_stack([np.ones(len(xs)), xs, ys]).astype(np.float64)
    abc, *_ = np.linalg.lstsq(design, np.array(zs), rcond=None)
    yy, xx = np.mgrid[1:lines + 1, 1:samples + 1].astype(np.float64)
    plane = abc[0] + abc[1] * xx + abc[2] * yy
    return (pix.astype(np.float64) - plane).astype(np.float32), abc


def expected_scaling(bitpix, flat):
    """BLANK, BSCALE, BZERO the tool chooses for the flattened pixels."""
    fin = flat[np.isfinite(flat)].astype(np.float64)
    hi, lo = fin.max(), fin.min()
    blank, divisor = SCALING[bitpix]
    bscale = (hi - lo) / divisor
    if bscale == 0.0:
        bscale = 1.0
    # Unsigned bytes store 0 .. 254 with the minimum at 0; the signed types
    # are centred on the middle of the range.
    bzero = lo if bitpix == 8 else (hi + lo) / 2.0
    return blank, bscale, bzero


# ---------------------------------------------------------------- checks

def run_tool(flatten, in_name, out_name, points):
    if os.path.exists(out_name):
        os.remove(out_name)
    text = "%s\n%s\n" % (in_name, out_name)
    text += "".join("%d %d\n" % p for p in points)
    res = subprocess.run([flatten], input=text.encode(), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=60)
    ok = check(res.returncode == 0 and os.path.exists(out_name),
               "%s: tool exit status %d, stderr %r" % (in_name, res.returncode,
                                                       res.stderr.decode(errors="replace")))
    if ok:
        check(not res.stderr, "%s: a clean run printed %r" % (in_name, res.stderr.decode(errors="replace")))
    return ok


def fitsverify(out_name):
    res = subprocess.run(["fitsverify", out_name], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=60)
    text = res.stdout.decode(errors="replace")
    m = re.search(r"Verification found (\d+) warning\(s\) and (\d+) error\(s\)", text)
    if m is None:
        # fitsverify gives up on a header it cannot even open.
        start = text.find("*** Error")
        detail = text[start:] if start >= 0 else text
        check(False, "%s: fitsverify aborted:\n%s" % (out_name, "\n".join(
            line.rstrip() for line in detail.splitlines() if line.strip())))
        return
    warnings, errors = int(m.group(1)), int(m.group(2))
    if warnings:
        print("note: fitsverify found %d warning(s) in %s" % (warnings, out_name))
        for line in text.splitlines():
            if "*** Warning" in line:
                print("  " + line.strip())
    check(errors == 0, "%s: fitsverify found %d error(s):\n%s" % (out_name, errors, text))


def compare(label, out_name, bitpix, flat, nan_mask, shape):
    """Check the tool's output file against the reference pixels flat."""
    # astropy rewrites the header of scaled data to describe the floats it
    # delivers, so the stored header is read separately.
    h = fits.getheader(out_name, do_not_scale_image_data=True)
    with fits.open(out_name) as hdul:
        out = np.array(hdul[0].data, dtype=np.float64)
    lines, samples = shape
    check(h["BITPIX"] == bitpix, "%s: BITPIX %s, want %d" % (label, h["BITPIX"], bitpix))
    check(h["NAXIS"] == 2 and h["NAXIS1"] == samples and h["NAXIS2"] == lines,
          "%s: NAXIS1/2 %s x %s, want %d x %d" % (label, h.get("NAXIS1"), h.get("NAXIS2"),
                                                 samples, lines))
    if not check(out.shape == flat.shape, "%s: data shape %s, want %s"
                 % (label, out.shape, flat.shape)):
        return h

    # A FITS primary header opens with SIMPLE, BITPIX, NAXIS, NAXISn.
    with open(out_name, "rb") as raw:
        first = raw.read(5 * 80).decode("ascii", errors="replace")
    keys = [first[i:i + 8].strip() for i in range(0, len(first), 80)]
    check(keys == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2"],
          "%s: header opens with %s, want SIMPLE BITPIX NAXIS NAXIS1 NAXIS2"
          % (label, " ".join(keys)))

    # Exactly one HISTORY card of the tool, and it comes last.
    history = [str(c) for c in h["HISTORY"]] if "HISTORY" in h else []
    mine = [t for t in history if HISTORY_TEXT in t]
    check(len(mine) == 1, "%s: %d HISTORY cards of the tool: %r" % (label, len(mine), history))
    check(bool(history) and HISTORY_TEXT in history[-1],
          "%s: the tool's HISTORY card is not the last one: %r" % (label, history))
    for key in ("BSCALE", "BZERO", "BLANK", "DATAMAX", "DATAMIN"):
        n = sum(1 for card in h.cards if card.keyword == key)
        check(n <= 1, "%s: %d %s cards" % (label, n, key))

    # Blank pixels exactly where the input was blank.
    out_nan = np.isnan(out)
    check(np.array_equal(out_nan, nan_mask),
          "%s: NaN at %d pixels, want %d (mismatch at %d)"
          % (label, out_nan.sum(), nan_mask.sum(), (out_nan != nan_mask).sum()))
    both = ~out_nan & ~nan_mask
    diff = np.abs(out[both] - flat.astype(np.float64)[both])
    fin = flat[np.isfinite(flat)].astype(np.float64)
    hi, lo = fin.max(), fin.min()

    if bitpix > 0:
        blank, bscale, bzero = expected_scaling(bitpix, flat)
        check(h.get("BLANK") == blank, "%s: BLANK %s, want %d" % (label, h.get("BLANK"), blank))
        got_s, got_z = float(h.get("BSCALE", 1.0)), float(h.get("BZERO", 0.0))
        check(abs(got_s - bscale) <= 1e-6 * abs(bscale),
              "%s: BSCALE %.10g, want %.10g" % (label, got_s, bscale))
        check(abs(got_z - bzero) <= 1e-6 * (hi - lo) + 1e-9 * abs(bzero),
              "%s: BZERO %.10g, want %.10g" % (label, got_z, bzero))
        # Half a quantisation step, plus a few float32 roundings of values
        # of the size of the range and of the pixels (the tool scales in
        # single precision, and the two fits may differ in the last bit).
        tol = got_s / 2.0 + 2.0 ** -23 * ((hi - lo) + max(abs(hi), abs(lo)))
    else:
        for key in ("BSCALE", "BZERO", "BLANK"):
            check(key not in h, "%s: float output carries %s" % (label, key))
        # Stored as computed: only the last bits of the plane may differ.
        tol = 1e-5 * np.abs(flat.astype(np.float64)[both]) + 1e-5
    bad = diff > tol
    check(not bad.any(),
          "%s: %d pixels differ beyond tolerance (max |diff| %.6g, tolerance %.6g)"
          % (label, bad.sum(), diff.max() if diff.size else 0.0,
             np.max(tol) if np.ndim(tol) else tol))
    print("%s: BITPIX %d, max |tool - numpy| = %.3g (%s)"
          % (label, bitpix, diff.max() if diff.size else 0.0,
             "BSCALE %.4g" % float(h.get("BSCALE", 1.0)) if bitpix > 0 else "float"))

    # DATAMAX/DATAMIN: the range of the flattened pixels, which the stored
    # data also span (within the same quantisation).
    dmax, dmin = h.get("DATAMAX"), h.get("DATAMIN")
    if check(dmax is not None and dmin is not None, "%s: DATAMAX/DATAMIN missing" % label):
        span = max(abs(hi), abs(lo), hi - lo)
        check(abs(dmax - hi) <= 1e-6 * span and abs(dmin - lo) <= 1e-6 * span,
              "%s: DATAMAX/DATAMIN %.10g/%.10g, flattened range %.10g/%.10g"
              % (label, dmax, dmin, hi, lo))
        omax, omin = np.nanmax(out), np.nanmin(out)
        qt = tol if bitpix > 0 else 1e-5 * span + 1e-5
        check(abs(omax - dmax) <= qt and abs(omin - dmin) <= qt,
              "%s: data range %.10g/%.10g, DATAMAX/DATAMIN %.10g/%.10g"
              % (label, omax, omin, dmax, dmin))
    return h


def main():
    flatten, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    os.chdir(work)
    rng = np.random.default_rng(20240611)
    inputs = make_inputs(rng)

    for in_name, (bitpix, points) in inputs.items():
        out_name = "out_" + in_name
        if not run_tool(flatten, in_name, out_name, points):
            continue
        _, _, pix = read_as_tool(in_name)
        flat, _ = reference(pix, points)
        compare(in_name, out_name, bitpix, flat, np.isnan(pix), pix.shape)
        fitsverify(out_name)

    # Subimage: samples 21..180, lines 11..140 of the 16-bit input; points
    # count from the subimage's first pixel.  (161, 5) and (5, 131) lie
    # outside the subimage though inside the whole image.
    sub_name = "in16.fits,@21:180,@11:140"
    sub_points = [(3, 3), (80, 2), (158, 4), (2, 65), (60, 60), (159, 66), (4, 128),
                  (85, 129), (157, 127), (120, 30), (40, 100), (160, 130), (161, 5),
                  (5, 131), (80, 2)]
    if run_tool(flatten, sub_name, "out_sub16.fits", sub_points):
        _, h_in, pix = read_as_tool("in16.fits")
        pix = pix[10:140, 20:180]
        flat, _ = reference(pix, sub_points)
        h = compare("subset", "out_sub16.fits", 16, flat, np.isnan(pix), pix.shape)
        for axis, skip in ((1, 20), (2, 10)):
            key = "CRPIX%d" % axis
            want = h_in[key] - skip
            check(key in h and abs(h[key] - want) <= 1e-4,
                  "subset: %s %s, want %g" % (key, h.get(key), want))
        check(h.get("CRVAL1") == h_in["CRVAL1"] and h.get("CTYPE2") == h_in["CTYPE2"],
              "subset: world coordinates not carried over")
        fitsverify("out_sub16.fits")

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
