#!/bin/bash
# Times the whole tool on 4096 x 4096 images beside cp of the same input.
# Usage: bench/bench_flatten.sh BUILD_DIR [RUNS]
#   BUILD_DIR  a build directory holding the flatten program (Release build)
#   RUNS       timed runs of each command (default 5); medians are reported
# Two inputs are generated (numpy): BITPIX 16 with BSCALE and BZERO, and
# BITPIX -32, each run with 200 reference points.  For each, the script
# prints the median wall times of `flatten < run.txt` and of `cp`, their
# ratio (target: at most 3), and the tool's peak resident memory (target:
# at most 4 bytes per pixel + 16 MiB).
set -eu
BUILD=${1:?usage: bench_flatten.sh BUILD_DIR [RUNS]}
RUNS=${2:-5}
FLATTEN=$BUILD/flatten
[ -x "$FLATTEN" ] || { echo "no flatten program in $BUILD" >&2; exit 1; }
WORK=$BUILD/bench_flatten_work
mkdir -p "$WORK"

FLOOR=$BUILD/bench_io_floor
[ -x "$FLOOR" ] || FLOOR=""

/usr/bin/python3 - "$FLATTEN" "$WORK" "$RUNS" "$FLOOR" <<'EOF'
import os, statistics, subprocess, sys, time
import numpy as np

flatten, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
floor_prog = sys.argv[4]
N = 4096

def write_fits(path, cards, data):
    text = "".join(c.ljust(80)[:80] for c in cards + ["END"])
    text += " " * (-len(text) % 2880)
    raw = data.tobytes()
    with open(path, "wb") as fp:
        fp.write(text.encode("ascii"))
        fp.write(raw)
        fp.write(b"\0" * (-len(raw) % 2880))

def card(key, value):
    if isinstance(value, str) and value.startswith("'"):
        return "%-8s= %s" % (key, value)
    return "%-8s= %20s" % (key, value)

rng = np.random.default_rng(12345)
y, x = np.mgrid[0:N, 0:N].astype(np.float64)
plane = 1000.0 + 0.01 * x - 0.02 * y

i16 = os.path.join(work, "in16.fits")
if not os.path.exists(i16):
    phys = plane + rng.normal(0.0, 5.0, (N, N))
    stored = np.clip(np.round((phys - 1000.0) / 0.05), -32767, 32767).astype(">i2")
    write_fits(i16, [card("SIMPLE", "T"), card("BITPIX", 16), card("NAXIS", 2),
                     card("NAXIS1", N), card("NAXIS2", N), card("BSCALE", "0.05"),
                     card("BZERO", "1000.0"), card("OBJECT", "'bench16'")], stored)

f32 = os.path.join(work, "in32.fits")
if not os.path.exists(f32):
    phys = (plane + rng.normal(0.0, 5.0, (N, N))).astype(">f4")
    write_fits(f32, [card("SIMPLE", "T"), card("BITPIX", -32), card("NAXIS", 2),
                     card("NAXIS1", N), card("NAXIS2", N), card("OBJECT", "'bench32'")], phys)

pts = rng.integers(1, N + 1, size=(200, 2))
del x, y, plane
phys = stored = None

# /usr/bin/time reports the peak memory of the program it starts; it starts
# it from its own small process, so the figure is the program's alone.
have_time = os.access("/usr/bin/time", os.X_OK)

def timed(cmd, stdin=None):
    full = (["/usr/bin/time", "-f", "maxrss_kib=%M"] if have_time else []) + cmd
    t0 = time.perf_counter()
    proc = subprocess.run(full, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    dt = time.perf_counter() - t0
    err = proc.stderr.decode(errors="replace")
    if proc.returncode != 0:
        sys.exit("%s failed (status %d): %s" % (" ".join(cmd), proc.returncode, err))
    rss = -1
    for line in err.splitlines():
        if line.startswith("maxrss_kib="):
            rss = int(line.split("=")[1]) * 1024
    return dt, rss

budget = 4 * N * N + 16 * 2**20
for name, src, bpp in (("BITPIX 16 + BSCALE/BZERO", i16, 2), ("BITPIX -32", f32, 4)):
    out = os.path.join(work, "out.fits")
    run = os.path.join(work, "run.txt")
    with open(run, "w") as fp:
        fp.write(src + "\n" + out + "\n")
        for px, py in pts:
            fp.write("%d %d\n" % (px, py))
    t_tool, t_cp, t_floor, peak = [], [], [], 0
    for _ in range(runs):
        for p in (out, out + ".cp", out + ".floor"):
            if os.path.exists(p):
                os.unlink(p)
        with open(run) as fp:
            dt, rss = timed([flatten], stdin=fp)
        t_tool.append(dt)
        peak = max(peak, rss)
        dt, _ = timed(["cp", src, out + ".cp"])
        t_cp.append(dt)
        if floor_prog:
            dt, _ = timed([floor_prog, src, out + ".floor", str(N), str(N), str(bpp)])
            t_floor.append(dt)
    mt, mc = statistics.median(t_tool), statistics.median(t_cp)
    ratio = mt / mc
    print("%-26s flatten %.3f s  cp %.3f s  ratio %.2f (target <= 3)  peak %s "
          "(budget %.1f MiB)%s" % (name, mt, mc, ratio,
                                   "%.1f MiB" % (peak / 2**20) if peak >= 0 else "unknown",
                                   budget / 2**20,
                                   "" if ratio <= 3 and peak <= budget else "  OVER"))
    if t_floor:
        mf = statistics.median(t_floor)
        print("%-26s I/O and memory floor %.3f s = %.2f x cp (same reads, writes and buffer, "
              "no conversion); flatten = %.2f x floor" % ("", mf, mf / mc, mt / mf))
EOF
