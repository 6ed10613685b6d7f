#!/usr/bin/python3
"""Write the bundled sample image examples/sample.fits and the tool's
standard input examples/sample.txt.

The image is 64 x 48, BITPIX 16 with BSCALE/BZERO: a tilted sky plane,
a few Gaussian "stars" and a little deterministic noise, with a header
carrying OBJECT, a TAN world-coordinate description and a HISTORY card.
Only the standard library is used, so the sample can be rebuilt anywhere:

    /usr/bin/python3 tools/make_sample.py [output directory]
"""
import math
import os
import random
import struct
import sys

SAMPLES, LINES = 64, 48
BSCALE, BZERO = 0.05, 1500.0
BLANK = -32768

# (sample, line, peak, sigma) of each star, 1-based pixel positions
STARS = [(20, 14, 800.0, 1.3), (45, 30, 1200.0, 1.6), (12, 38, 500.0, 1.1),
         (52, 9, 650.0, 1.2), (33, 22, 300.0, 2.0)]

# Reference points for the fit: clear of every star
POINTS = [(3, 3), (32, 3), (62, 4), (4, 24), (61, 25), (3, 46), (30, 46),
          (62, 45), (25, 30), (40, 12), (10, 27), (55, 40)]


def sky(s, l):
    return 1000.0 + 3.0 * s + 5.5 * l


def pixel(s, l, rng):
    v = sky(s, l) + rng.gauss(0.0, 2.0)
    for (xs, ys, peak, sig) in STARS:
        r2 = (s - xs) ** 2 + (l - ys) ** 2
        v += peak * math.exp(-r2 / (2.0 * sig * sig))
    return v


def card(text):
    return text[:80].ljust(80)


def value_card(key, value, comment=None):
    if isinstance(value, bool):
        text = "%-8s= %20s" % (key, "T" if value else "F")
    elif isinstance(value, int):
        text = "%-8s= %20d" % (key, value)
    elif isinstance(value, float):
        text = "%-8s= %20s" % (key, repr(value).upper())
    else:
        text = "%-8s= %-20s" % (key, "'%-8s'" % value)
    if comment:
        text += " / " + comment
    return card(text)


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "examples")
    rng = random.Random(20240611)

    cards = [
        value_card("SIMPLE", True),
        value_card("BITPIX", 16),
        value_card("NAXIS", 2),
        value_card("NAXIS1", SAMPLES),
        value_card("NAXIS2", LINES),
        value_card("BSCALE", BSCALE),
        value_card("BZERO", BZERO),
        value_card("BLANK", BLANK),
        value_card("OBJECT", "SAMPLE FIELD", "synthetic sky with five stars"),
        value_card("CTYPE1", "RA---TAN"),
        value_card("CTYPE2", "DEC--TAN"),
        value_card("CRPIX1", 32.5),
        value_card("CRPIX2", 24.5),
        value_card("CRVAL1", 202.4696),
        value_card("CRVAL2", 47.1952),
        value_card("CDELT1", -0.000277778),
        value_card("CDELT2", 0.000277778),
        value_card("BUNIT", "ADU"),
        card("HISTORY Synthetic sample written by tools/make_sample.py"),
        card("END"),
    ]
    header = "".join(cards)
    header += " " * (-len(header) % 2880)

    data = bytearray()
    for l in range(1, LINES + 1):
        for s in range(1, SAMPLES + 1):
            q = int(round((pixel(s, l, rng) - BZERO) / BSCALE))
            q = max(-32767, min(32767, q))
            data += struct.pack(">h", q)
    data += b"\0" * (-len(data) % 2880)

    with open(os.path.join(outdir, "sample.fits"), "wb") as fh:
        fh.write(header.encode("ascii"))
        fh.write(bytes(data))

    with open(os.path.join(outdir, "sample.txt"), "w") as fh:
        fh.write("sample.fits\n")
        fh.write("flattened.fits\n")
        for (s, l) in POINTS:
            fh.write("%d %d\n" % (s, l))


if __name__ == "__main__":
    main()
