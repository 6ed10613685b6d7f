#!/usr/bin/python3
"""show_flatten.py: draw one run of flatten as a PNG: the input image, the
flattened output and the plane that was removed (input - output), side by
side, each with a display stretch and a colour bar, the reference points
marked when the run's job file (or a file of points) is given.

    show_flatten.py [options] INPUT OUTPUT
    show_flatten.py [options] --job job.txt

Images are FITS files as the tool reads and writes them (BITPIX 8, 16, 32,
-32, -64; BSCALE/BZERO; BLANK; axes past the second of length 1), named as
the tool names them: an extension in brackets ("img.fits[SCI]", "[2]",
"[SCI,2]") and a pixel subset after a comma ("img.fits,@10:50,@1:40",
"^@64", "@-10:10"; world and sky subsets are refused).
Drawing needs Debian's python3-matplotlib and python3-astropy; the Agg
backend is used, so no display is needed, and the PNG holds no date, so
the same run draws the same bytes.
"""
import argparse
import math
import os
import re
import sys

try:
    import numpy as np
except ImportError:
    sys.exit("show_flatten: needs Debian's python3-numpy, python3-matplotlib and python3-astropy")

# Images larger than this on either axis are drawn from every k-th pixel,
# so that a huge image is read sparsely from its memory map.
MAX_DRAWN = 2048

PROG = "show_flatten"


class Failure(Exception):
    """A reason to stop with a message and status 1."""


def split_name(name):
    """Split an image name as the tool does: (file, extension selector or
    None, list of subset fields).  The subset starts at the first comma
    outside brackets; a file that exists under the whole first piece is
    taken as named even when that ends in brackets."""
    depth = 0
    base, subset = name, None
    for i, c in enumerate(name):
        if c == "[":
            depth += 1
        elif c == "]":
            depth = max(0, depth - 1)
        elif c == "," and depth == 0:
            base, subset = name[:i], name[i + 1:]
            break
    if subset is not None and len(subset) > 63:
        raise Failure("%s: a subset text holds at most 63 characters" % name)
    fields = subset.split(",") if subset is not None else []
    if os.path.exists(base) or not base.endswith("]") or "[" not in base:
        return base, None, fields
    j = base.rindex("[")
    return base[:j], base[j + 1:-1], fields


def pick_hdu(hdul, selector, label):
    """The header-data unit that selector names: None the primary, a number
    its index, NAME or NAME,VER by EXTNAME (any case) and EXTVER (absent
    counts as 1).  Raises Failure when there is none or it is no image."""
    from astropy.io import fits
    if selector is None:
        hdu = hdul[0]
    elif re.fullmatch(r"\s*\d+\s*", selector):
        k = int(selector)
        if k >= len(hdul):
            raise Failure("%s: no extension %d (the file has %d)" % (label, k, len(hdul) - 1))
        hdu = hdul[k]
    else:
        name, _, ver = selector.partition(",")
        want = name.strip().upper()
        hdu = None
        for h in hdul[1:]:
            if str(h.header.get("EXTNAME", "")).strip().upper() != want:
                continue
            if ver.strip() and int(h.header.get("EXTVER", 1)) != int(ver):
                continue
            hdu = h
            break
        if hdu is None:
            raise Failure("%s: no extension named %s" % (label, selector))
    if isinstance(hdu, fits.CompImageHDU):
        raise Failure("%s: a tile-compressed image (uncompress it first)" % label)
    if not isinstance(hdu, (fits.PrimaryHDU, fits.ImageHDU)):
        raise Failure("%s: not an image (%s)" % (label, type(hdu).__name__))
    if hdu.header.get("NAXIS", 0) < 2 or hdu.data is None:
        hint = " (name an extension, e.g. file.fits[1])" if selector is None and len(hdul) > 1 else ""
        raise Failure("%s: not a 2-D image%s" % (label, hint))
    return hdu


# A pixel value's number, as "%lf" reads it with nothing after it.
NUMBER = re.compile(r"[ \t\n\v\f\r]*[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


def pixel_value(text, at, field, label):
    """Classify one value of a pixel subset field: ('none'|'abs'|'rel',
    number, at), where at says an '@' was seen earlier in the field (it
    makes later plain numbers pixels too).  Raises Failure for world and
    sky values, which this script does not evaluate, and malformed ones."""
    if text.startswith("@"):
        text, at = text[1:], True
    if text == "":
        return "none", 0.0, at
    if not at:
        raise Failure("%s: subset field '%s': only pixel values (@a, @a:b, ^@n) are drawn"
                      % (label, field))
    if not NUMBER.fullmatch(text):
        raise Failure("%s: subset field '%s': '%s' is no number" % (label, field, text))
    return ("rel" if text[0] in "+-" else "abs"), float(text), at


def field_range(field, n, crpix, label):
    """The (skip, take) that one pixel subset field selects on an axis of n
    pixels whose reference pixel is crpix, as the tool's subsets do: a
    range a:b (ends swapped into order, rounded half up, both included, an
    open end running to the edge), one pixel, or a centre ^ size; '@+n' and
    '@-n' count from the reference pixel.  The result is clipped to the
    axis, as the library clips its windows."""
    pieces = re.split(r"([:^])", field, maxsplit=2)
    sep = pieces[1] if len(pieces) > 1 else ""
    k1, v1, at = pixel_value(pieces[0], False, field, label)
    k2, v2, at = pixel_value(pieces[2], at, field, label) if sep else ("none", 0.0, at)
    if len(pieces) > 3:                  # a third value counts only for the sky
        pixel_value(pieces[4], at, field, label)
    pos1 = {"abs": v1, "rel": crpix + v1, "none": 1.0}[k1]
    if sep == "^":
        centre = n / 2.0 + 0.5 if k1 == "none" else pos1
        take = max(1, int(abs(v2) + 0.5)) if k2 != "none" else 1
        skip = int(centre - 1 + 0.5) - take // 2
    elif sep == ":" or k1 != "none":
        if sep == ":":
            pos2 = {"abs": crpix + v2 if k1 == "rel" else v2, "rel": crpix + v2,
                    "none": 32768.0}[k2]
        else:
            pos2 = pos1
        lo, hi = min(pos1, pos2), max(pos1, pos2)
        skip = int(lo - 1 + 0.5)
        take = int(hi + 0.5) - skip
    else:
        skip, take = 0, 32767
    if skip < 0:
        take, skip = take + skip, 0
    elif skip >= n:
        skip = n
    take = min(max(take, 0), n - skip)
    return skip, take


class Image:
    """One image as drawn: its values as float64 with blanks as NaN (every
    step-th pixel when large), its full size, and a reader of single pixels."""

    def __init__(self, name, label=None):
        from astropy.io import fits
        self.name = name
        self.label = label or name      # the name as the user wrote it
        path, selector, fields = split_name(name)
        if not os.path.exists(path):
            raise Failure("%s: no such file" % name)
        try:
            hdul = fits.open(path, memmap=True, do_not_scale_image_data=True)
        except Exception as e:          # astropy says why in its own words
            raise Failure("%s: not a FITS file (%s)" % (name, e))
        try:
            self._load(hdul, selector, fields)
        except Failure:
            raise
        except Exception as e:
            raise Failure("%s: cannot read the image (%s)" % (name, e))
        finally:
            hdul.close()

    def _load(self, hdul, selector, fields):
        hdu = pick_hdu(hdul, selector, self.name)
        h = hdu.header
        raw = hdu.data
        ndim = raw.ndim
        if len(fields) > ndim:
            raise Failure("%s: %d subset fields for %d axes" % (self.name, len(fields), ndim))
        # With a subset every axis is a window; FITS axis k is numpy
        # dimension ndim - k.
        sl = [slice(None)] * ndim
        if fields:
            for k in range(1, ndim + 1):
                field = fields[k - 1] if k <= len(fields) else ""
                skip, take = field_range(field, raw.shape[ndim - k],
                                         float(h.get("CRPIX%d" % k, 1.0)), self.name)
                sl[ndim - k] = slice(skip, skip + take)
        view = raw[tuple(sl)]
        if view.size == 0:
            raise Failure("%s: the subset selects no pixel" % self.name)
        if any(n != 1 for n in view.shape[:-2]):
            raise Failure("%s: not a 2-D image (axes %s)" % (self.name, "x".join(
                str(n) for n in reversed(view.shape))))
        view = view.reshape(view.shape[-2:])
        self.lines, self.samples = view.shape
        self.bitpix = int(h["BITPIX"])
        self.scale = float(h.get("BSCALE", 1.0))
        self.zero = float(h.get("BZERO", 0.0))
        blank = h.get("BLANK")
        # Integer images mark blanks with the BLANK code; floats by NaN.
        self.blank = int(blank) if self.bitpix > 0 and isinstance(blank, int) else None
        self.step = max(1, math.ceil(max(self.lines, self.samples) / MAX_DRAWN))
        self.values = self._scaled(np.array(view[::self.step, ::self.step]))
        self._view = view

    def _scaled(self, raw):
        """Stored values to physical ones: float64, blanks and non-finite
        values as NaN."""
        v = raw.astype(np.float64) * self.scale + self.zero
        if self.blank is not None:
            v[raw == self.blank] = np.nan
        v[~np.isfinite(v)] = np.nan
        return v

    def pixel(self, sample, line):
        """The value at 1-based (sample, line), NaN when blank, None outside."""
        if not (1 <= sample <= self.samples and 1 <= line <= self.lines):
            return None
        return float(self._scaled(np.array(self._view[line - 1:line, sample - 1:sample]))[0, 0])


# A point line: two integers as the tool reads them (white space, optional
# sign, digits), the second not glued to the first's digits.
POINT = re.compile(rb"[ \t\n\v\f\r]*([+-]?\d+)(?!\d)[ \t\n\v\f\r]*([+-]?\d+)")


def read_points(path, job):
    """Reference points of a job file (job true: lines 1 and 2 are the image
    names) or of a file of points: [(sample, line)], and the names.  Lines
    that do not start with two integers are skipped, as the tool does."""
    try:
        with open(path, "rb") as fp:
            lines = fp.read().split(b"\n")
    except OSError as e:
        raise Failure("%s: %s" % (path, e.strerror))
    names = []
    if job:
        if len(lines) < 2 or (len(lines) == 2 and lines[1] == b""):
            raise Failure("%s: a job file starts with the input and output names" % path)
        names = [lines[0].decode("utf-8", "surrogateescape"),
                 lines[1].decode("utf-8", "surrogateescape")]
        lines = lines[2:]
    points = []
    for text in lines:
        m = POINT.match(text.split(b"\0")[0])
        if m:
            points.append((int(m.group(1)), int(m.group(2))))
    return points, names


def job_name(name, job_path):
    """A name from a job file: as given when its file exists from here (the
    tool's view), otherwise beside the job file."""
    if os.path.isabs(name) or os.path.exists(split_name(name)[0]):
        return name
    beside = os.path.join(os.path.dirname(job_path), name)
    return beside if os.path.exists(split_name(beside)[0]) else name


def limits(values, stretch, percent):
    """Display limits of the finite values: z-scale, percentile or min-max;
    (0, 1) when none is finite, widened by one when they coincide."""
    from astropy.visualization import MinMaxInterval, PercentileInterval, ZScaleInterval
    v = values[np.isfinite(values)]
    if v.size == 0:
        return 0.0, 1.0
    interval = {"zscale": ZScaleInterval(), "percentile": PercentileInterval(percent),
                "minmax": MinMaxInterval()}[stretch]
    lo, hi = (float(x) for x in interval.get_limits(v))
    if not hi > lo:
        lo, hi = lo - 0.5, lo + 0.5
    return lo, hi


def fit_plane(plane, step):
    """Least-squares A, B, C of Z = A + B*sample + C*line over the finite
    pixels of plane (drawn every step-th pixel), or None below 3 of them."""
    lines, samples = np.nonzero(np.isfinite(plane))
    if lines.size < 3:
        return None
    s = 1.0 + samples * step
    l = 1.0 + lines * step
    a = np.column_stack([np.ones_like(s), s, l])
    coef, _, rank, _ = np.linalg.lstsq(a, plane[lines, samples], rcond=None)
    return tuple(float(c) for c in coef) if rank == 3 else None


def short(name, most=38):
    """A name cut from the left to most characters, for a title; a dollar
    sign is escaped so that matplotlib does not read the name as maths."""
    name = name if len(name) <= most else "..." + name[-(most - 3):]
    return name.replace("$", r"\$")


def draw(args, inp, out, points):
    """Render the three panels into args.output; returns the description
    lines that --describe prints."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import colormaps
    from matplotlib.figure import Figure

    plane = inp.values - out.values
    coef = fit_plane(plane, inp.step)
    used, blank, outside = [], [], []
    for s, l in points:
        v = inp.pixel(s, l)
        (outside if v is None else blank if math.isnan(v) else used).append((s, l))

    plane_title = "plane removed (input - output)"
    if coef is not None:
        plane_title += "\nA=%.6g  B=%.6g  C=%.6g" % coef
    fig = Figure(figsize=(args.width / args.dpi, args.height / args.dpi), dpi=args.dpi,
                 layout="constrained")
    axes = fig.subplots(1, 3)
    panels = [
        (inp.values, "input: %s" % short(inp.label), args.stretch, "gray"),
        (out.values, "flattened: %s" % short(out.label), args.stretch, "gray"),
        (plane, plane_title, "minmax", "viridis"),
    ]
    desc = []
    step = inp.step
    extent = (0.5, 0.5 + step * inp.values.shape[1], 0.5, 0.5 + step * inp.values.shape[0])
    for i, (ax, (values, title, stretch, cmap_name)) in enumerate(zip(axes, panels), start=1):
        lo, hi = limits(values, stretch, args.percent)
        cmap = colormaps[cmap_name].copy()
        cmap.set_bad("#3b6fd4")          # blank pixels stand out in blue
        im = ax.imshow(values, origin="lower", cmap=cmap, vmin=lo, vmax=hi, extent=extent,
                       interpolation="nearest")
        ax.set_xlim(0.5, inp.samples + 0.5)
        ax.set_ylim(0.5, inp.lines + 0.5)
        ax.set_title(title, fontsize=9)
        ax.set_xlabel("sample", fontsize=8)
        ax.set_ylabel("line", fontsize=8)
        ax.tick_params(labelsize=7)
        # The bar sits in the panel's own box, so it has the image's height.
        bar = ax.inset_axes([1.03, 0.0, 0.05, 1.0])
        fig.colorbar(im, cax=bar).ax.tick_params(labelsize=7)
        if used:
            ax.scatter([p[0] for p in used], [p[1] for p in used], s=40, marker="o",
                       facecolors="none", edgecolors="#39e639", linewidths=1.2, clip_on=False)
        if blank:
            ax.scatter([p[0] for p in blank], [p[1] for p in blank], s=40, marker="x",
                       color="#ff3030", linewidths=1.2, clip_on=False)
        desc.append("panel %d: %s | %dx%d | limits %.6g %.6g (%s)"
                    % (i, title.replace("\n", " | ").replace("\\$", "$"), inp.samples, inp.lines, lo, hi, stretch))
    if points:
        note = "reference points: %d used (o)" % len(used)
        if blank:
            note += ", %d blank (x)" % len(blank)
        if outside:
            note += ", %d outside" % len(outside)
        fig.suptitle(note, fontsize=8, x=0.01, ha="left")

    tmp = args.output + ".tmp"
    try:
        fig.savefig(tmp, dpi=args.dpi, format="png", metadata={"Software": None})
        os.replace(tmp, args.output)
    except OSError as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise Failure("%s: cannot write the picture (%s)" % (args.output, e.strerror or e))
    # Counted from the figure itself: panels hold an image, bars are their
    # child axes.
    image_axes = sum(1 for a in fig.axes if a.images)
    bars = sum(len(a.child_axes) for a in fig.axes)
    desc.insert(0, "figure %dx%d pixels at %d dpi: %d panels, %d colour bars"
                % (args.width, args.height, args.dpi, image_axes, bars))
    desc.append("points: %d used, %d blank, %d outside" % (len(used), len(blank), len(outside)))
    desc.append("plane: " + ("A=%.9g B=%.9g C=%.9g" % coef if coef else "no fit"))
    return desc


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="show_flatten.py",
        description="Draw a flatten run as one PNG: the input image, the flattened "
                    "output and the plane removed (input - output where neither is "
                    "blank), side by side, with colour bars; reference points are "
                    "marked (o used, x on a blank pixel) when a job or points file is "
                    "given.  Blank pixels are drawn in blue.",
        epilog="Names are written as for the tool: img.fits[SCI] or img.fits[2] "
               "selects an extension, img.fits,@10:50,@1:40 a pixel subset (^@n a centred "
               "box, @-n:n pixels from CRPIX; world and sky subsets are refused).  Names "
               "in a job file that do not exist from the current directory are "
               "looked for beside the job file.  Exit status: 0 drawn; 1 an image "
               "or file could not be read or the picture not written (the message "
               "says why); 2 a usage error.")
    p.add_argument("input", nargs="?", help="the input image (as given to the tool)")
    p.add_argument("flattened", nargs="?", help="the tool's output image")
    p.add_argument("--job", metavar="FILE",
                   help="the tool's standard input: names from lines 1 and 2, points after")
    p.add_argument("--points", metavar="FILE",
                   help="reference points to mark: lines starting with two integers")
    p.add_argument("-o", "--output", metavar="PNG", default="flatten.png",
                   help="picture to write (default flatten.png)")
    p.add_argument("--size", metavar="WxH", default="1200x400",
                   help="picture size in pixels (default 1200x400)")
    p.add_argument("--dpi", type=int, default=100, help="dots per inch (default 100)")
    p.add_argument("--stretch", choices=("zscale", "percentile", "minmax"), default="zscale",
                   help="display limits of the two images (default zscale; the plane "
                        "is always drawn from its minimum to its maximum)")
    p.add_argument("--percent", type=float, default=99.5,
                   help="the share of pixels inside the limits for --stretch=percentile "
                        "(default 99.5)")
    p.add_argument("--describe", action="store_true",
                   help="also print what was drawn: panels, limits, points, the plane")
    args = p.parse_args(argv)
    m = re.fullmatch(r"(\d+)[xX](\d+)", args.size)
    if not m or not (100 <= int(m.group(1)) <= 20000 and 100 <= int(m.group(2)) <= 20000):
        p.error("--size takes WIDTHxHEIGHT in pixels, each 100 to 20000 (got %s)" % args.size)
    args.width, args.height = int(m.group(1)), int(m.group(2))
    if not 10 <= args.dpi <= 1000:
        p.error("--dpi takes 10 to 1000")
    if not 0 < args.percent <= 100:
        p.error("--percent takes a share above 0 and at most 100")
    if args.job and (args.input or args.flattened):
        p.error("give either --job or the two image names")
    if not args.job and not (args.input and args.flattened):
        p.error("give the input and flattened images, or --job")
    return args


def main(argv):
    args = parse_args(argv)
    try:
        points = []
        labels = [args.input, args.flattened]
        if args.job:
            points, labels = read_points(args.job, job=True)
            args.input, args.flattened = (job_name(n, args.job) for n in labels)
        if args.points:
            points = read_points(args.points, job=False)[0]
        try:
            import matplotlib  # noqa: F401  (checked before reading images)
            import astropy  # noqa: F401
        except ImportError as e:
            raise Failure("needs Debian's python3-matplotlib and python3-astropy (%s)" % e)
        inp = Image(args.input, labels[0])
        out = Image(args.flattened, labels[1])
        if (inp.samples, inp.lines) != (out.samples, out.lines):
            raise Failure("%s is %dx%d but %s is %dx%d: not input and output of one run"
                          % (inp.name, inp.samples, inp.lines, out.name, out.samples, out.lines))
        desc = draw(args, inp, out, points)
    except Failure as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1
    if args.describe:
        print("\n".join(desc))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
