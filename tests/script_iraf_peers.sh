#!/bin/bash
# IRAF images judged by IRAF itself (Debian's amd64 IRAF 2.17, and its i386
# build, which reads and writes version 1 with 4-byte fields): images of
# every pixel type, with titles, histories, user cards, limits, padded lines
# and pixel files in other folders, made from astropy FITS files by IRAF's
# imcopy, chpixtype, minmax and hedit, are read by the library and compared
# with IRAF's listpixels (integers exactly, floats within the printed
# digits) and imheader; the library's version-1 files must read right in
# 32-bit IRAF, its version-2 files in both IRAFs (listpixels, imstatistics,
# imheader).  IRAF's files and the library's, turned into the other byte
# order, read back alike.  The peers are installed when missing; nothing is skipped.
# Environment: HELPERS (dir of helper_readpix, helper_imcards,
# helper_imcopy), SRC_DIR, WORK_DIR; IRAF_SH may name another IRAF runner
# than the project's tools/iraf.sh.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
peer_setup script_iraf_peers
IRAF_SH=${IRAF_SH:-$SRC_DIR/tools/iraf.sh}
[ -f "$IRAF_SH" ] || { echo "script_iraf_peers: no IRAF runner at $IRAF_SH"; exit 1; }
# Install both IRAFs now (apt-get; needs root the first time) so that a
# failed installation is reported as such.
sh "$IRAF_SH" imheader images=dev\$pix.imh longheader=no userfields=no '$nargs=1' >/dev/null \
    || { echo "script_iraf_peers: amd64 IRAF does not run"; exit 1; }
sh "$IRAF_SH" --32 imheader images=dev\$pix.imh longheader=no userfields=no '$nargs=1' >/dev/null \
    || { echo "script_iraf_peers: i386 IRAF does not run"; exit 1; }

exec "$PY" - "$WORK" "$HELPERS" "$IRAF_SH" <<'EOF'
import os, re, subprocess, sys, tempfile
import numpy as np
from astropy.io import fits
from peer_checks import Checks

work, helpers, iraf_sh = sys.argv[1:4]
os.chdir(work)
rng = np.random.default_rng(20261208)
check = Checks('script_iraf_peers', echo=True)

def run(cmd, env=None):
    r = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
    if r.returncode != 0:
        raise RuntimeError('%s: status %d: %s' % (' '.join(cmd), r.returncode, r.stderr.strip()))
    return r.stdout

def iraf(task, *params, bits=64, version=None):
    """One task of IRAF's images package; its standard output."""
    env = dict(os.environ)
    if version is not None:
        env['OIFVERSION'] = str(version)
    cmd = ['sh', iraf_sh] + (['--32'] if bits == 32 else []) + [task] + list(params)
    out = run(cmd, env)
    if 'ERROR' in out or 'PANIC' in out:
        raise RuntimeError('%s: %s' % (' '.join(cmd), out.strip()))
    return out

def iraf_imdir(imdir, task, *params):
    """A task of amd64 IRAF (installed by now) with pixel files in imdir."""
    root = '/usr/lib/iraf'
    with tempfile.TemporaryDirectory() as home:
        env = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'), 'iraf': root + '/',
               'host': root + '/unix/', 'hlib': root + '/unix/hlib/', 'hbin': root + '/unix/bin/',
               'tmp': home + '/', 'HOME': home, 'USER': 'iraf', 'oifversion': '2', 'imdir': imdir}
        return run([root + '/bin/x_images.e', task] + list(params), env)

def listpixels(path, bits=64):
    out = iraf('listpixels', 'images=' + path, 'wcs=logical', 'formats=', 'verbose=no', bits=bits)
    return np.array([float(line.split()[-1]) for line in out.splitlines() if line.strip()])

def imheader(path, bits=64):
    return iraf('imheader', 'images=' + path, 'longheader=yes', 'userfields=yes', '$nargs=1',
                bits=bits).splitlines()

def imstatistics(path, bits=64):
    out = iraf('imstatistics', 'images=' + path, 'fields=npix,mean,min,max', 'lower=INDEF',
               'upper=INDEF', 'nclip=0', 'lsigma=3', 'usigma=3', 'binwidth=0.1', 'format=no',
               'cache=no', bits=bits)
    return [float(x) for x in out.split()]

def lib_pixels(path):
    out = run([helpers + '/helper_readpix', path, 'd']).splitlines()
    assert out[0] == 'count %d' % (len(out) - 1), out[0]
    return np.array([float(x) for x in out[1:]])

def lib_cards(path):
    return run([helpers + '/helper_imcards', path]).splitlines()

def card_value(cards, key):
    for c in cards:
        if c[:8].rstrip() == key:
            v = c[10:].split('/')[0].strip()
            return v.strip("'").rstrip() if v.startswith("'") else float(v)
    return None

def header_field(path, offset):
    with open(path, 'rb') as fp:
        fp.seek(offset)
        return int.from_bytes(fp.read(4), 'big', signed=True)

TYPES = {'short': (16, None), 'ushort': (16, 32768.0), 'int': (32, None), 'long': (32, None),
         'real': (-32, None), 'double': (-64, None)}

def compare_header(path, cards, head):
    """The library's cards against IRAF's imheader of the same image."""
    m = re.match(r'^(.*)\[([0-9,]+)\]\[(\w+)\]: ?(.*)$', head[0])
    check(m is not None, '%s: imheader title line %r' % (path, head[0]))
    if m is None:
        return
    dims = [int(x) for x in m.group(2).split(',')]
    bitpix, bzero = TYPES[m.group(3)]
    check(card_value(cards, 'BITPIX') == bitpix, '%s: BITPIX for %s' % (path, m.group(3)))
    check(card_value(cards, 'BZERO') == bzero, '%s: BZERO for %s' % (path, m.group(3)))
    check(card_value(cards, 'NAXIS') == len(dims), '%s: NAXIS' % path)
    for k, n in enumerate(dims):
        check(card_value(cards, 'NAXIS%d' % (k + 1)) == n, '%s: NAXIS%d' % (path, k + 1))
    title = m.group(4).rstrip()
    check((card_value(cards, 'OBJECT') or '') == title[:68].rstrip(), '%s: OBJECT %r' % (path, title))
    lim = re.search(r'min=([^,]+), max=(\S+)', head[1])
    if lim and lim.group(1) != 'unknown':
        check(card_value(cards, 'DATAMIN') == float(lim.group(1)), '%s: DATAMIN' % path)
        check(card_value(cards, 'DATAMAX') == float(lim.group(2)), '%s: DATAMAX' % path)
    blanks = re.match(r'^(\d+)\. bad pixels', head[1])
    check(card_value(cards, 'NBLANKS') == (float(blanks.group(1)) if blanks else None),
          '%s: NBLANKS' % path)
    # After the fixed cards: the user area, then one HISTORY card per
    # history line; imheader lists the history first.
    fixed = 0
    for key in ['BITPIX', 'NAXIS'] + ['NAXIS%d' % (k + 1) for k in range(len(dims))] + \
               ['BZERO', 'OBJECT', 'DATAMIN', 'DATAMAX', 'NBLANKS']:
        if fixed < len(cards) and cards[fixed][:8].rstrip() == key:
            fixed += 1
    rest = [c.rstrip() for c in cards[fixed:]]
    start = next(i for i, line in enumerate(head) if line.startswith('Pixel file')) + 1
    lines = [line.rstrip() for line in head[start:]]
    ok = any(rest == lines[h:] + [('HISTORY ' + x)[:80].rstrip() for x in lines[:h]]
             for h in range(len(lines) + 1))
    check(ok, '%s: user area and history differ from imheader' % path)
    if not ok:
        print('  library:', rest)
        print('  imheader:', lines)

def compare_pixels(path, lib, ref, what, rel):
    if lib.shape != ref.shape:
        check(False, '%s: %s: %d pixels against %d' % (path, what, lib.size, ref.size))
        return
    if rel == 0:
        check(np.array_equal(lib, ref), '%s: %s differ' % (path, what))
    else:
        check(np.allclose(lib, ref, rtol=rel, atol=0), '%s: %s differ beyond %g' % (path, what, rel))

# ---- FITS sources: every type, titles, user cards, FITS HISTORY cards ----
shape = (13, 150)      # double lines are padded by IRAF (physlen > len)
sources = {
    'short': rng.integers(-32768, 32767, shape, endpoint=True).astype(np.int16),
    'ushort': rng.integers(0, 65535, shape, endpoint=True).astype(np.uint16),
    # integers that listpixels, which reads them as reals, shows exactly
    'int': (rng.integers(-2**24, 2**24, shape) * np.where(rng.random(shape) < 0.1, 32, 1)).astype(np.int32),
    'real': (rng.normal(0, 1e4, shape)).astype(np.float32),
    'double': rng.normal(0, 1e6, shape),
}
for name, data in sources.items():
    flat = data.reshape(-1)
    if name == 'short':
        flat[:2] = [-32768, 32767]
    if name == 'ushort':
        flat[:3] = [0, 32768, 65535]
    if name == 'int':
        flat[:2] = [-2000000000, 2140000000]
    h = fits.Header()
    h['OBJECT'] = 'IRAF %s image' % name
    h['OBSERVER'] = ('someone', 'who took it')
    h['EXPTIME'] = 30.5
    for i in range(25):
        h['KEY%03d' % i] = ('value %d' % i, 'card %d of many' % i)
    h['HISTORY'] = 'made by astropy for %s' % name
    h['HISTORY'] = 'a second FITS history line'
    fits.PrimaryHDU(data, h).writeto(name + '.fits', overwrite=True)

# ---- Version-2 images written by amd64 IRAF -----------------------------
full = lambda name: os.path.join(work, name)
for name in sources:
    iraf('imcopy', 'input=' + full(name + '.fits'), 'output=' + full(name + '.imh'), 'verbose=no')
iraf('chpixtype', 'input=' + full('int.imh'), 'output=' + full('long.imh'), 'newpixtype=long',
     'oldpixtype=all', 'verbose=no')
# limits set by IRAF, then a long title and a long history line
iraf('imcopy', 'input=' + full('ushort.imh'), 'output=' + full('limits.imh'), 'verbose=no')
iraf('minmax', 'images=' + full('limits.imh'), 'force=yes', 'update=yes', 'verbose=no')
iraf('imcopy', 'input=' + full('short.imh'), 'output=' + full('texts.imh'), 'verbose=no')
iraf('hedit', 'images=' + full('texts.imh'), 'fields=title',
     'value="%s"' % ('A long title ' * 20).strip(), 'add=no', 'addonly=no', 'delete=no',
     'verify=no', 'show=no', 'update=yes')
iraf('hedit', 'images=' + full('texts.imh'), 'fields=history',
     'value="%s"' % ('history words ' * 90).strip(), 'add=no', 'addonly=no', 'delete=no',
     'verify=no', 'show=no', 'update=yes')
# pixel files in other folders: an absolute imdir, and one under HDR$
os.makedirs(full('pixels'))
iraf_imdir(full('pixels') + '/', 'imcopy', 'input=' + full('real.fits'),
           'output=' + full('absdir.imh'), 'verbose=no')
iraf_imdir('HDR$sub/', 'imcopy', 'input=' + full('double.fits'), 'output=' + full('subdir.imh'),
           'verbose=no')
check(os.path.exists(full('pixels/absdir.pix')) and os.path.exists(full('sub/subdir.pix')),
      'IRAF put the pixel files elsewhere')

v2_images = ['short', 'ushort', 'int', 'long', 'real', 'double', 'limits', 'texts', 'absdir',
             'subdir', '/usr/lib/iraf/dev/pix']
padded = 0
for name in v2_images:
    path = name + '.imh' if name.startswith('/') else full(name + '.imh')
    with open(path, 'rb') as fp:
        check(fp.read(5) == b'imhv2', '%s: IRAF wrote a version-2 header' % path)
    padded += header_field(path, 50) > header_field(path, 22)
    try:
        cards = lib_cards(path)
        lib = lib_pixels(path)
    except RuntimeError as e:
        check(False, str(e))
        continue
    ref = listpixels(path)
    bitpix = card_value(cards, 'BITPIX')
    rel = {16: 0, 32: 0, -32: 1e-6, -64: 1e-15}[bitpix]
    compare_pixels(path, lib, ref, 'pixels against listpixels', rel)
    compare_header(path, cards, imheader(path))
    base = name if name in sources else None
    if base:
        src = fits.getdata(base + '.fits').astype(np.float64).reshape(-1)
        compare_pixels(path, lib, src, 'pixels against the FITS source', 0)
check(padded >= 2, 'some IRAF images have padded lines (%d)' % padded)
check(card_value(lib_cards(full('limits.imh')), 'DATAMAX') == 65535.0, 'minmax limits of ushort')

# The same FITS file through 32-bit IRAF (version 1) and amd64 IRAF
# (version 2): the library reads the same cards and pixels.
for name in ('ushort', 'double'):
    iraf('imcopy', 'input=' + full(name + '.fits'), 'output=' + full(name + '_v1.imh'),
         'verbose=no', bits=32)
    check(lib_cards(full(name + '_v1.imh')) == lib_cards(full(name + '.imh')),
          '%s: cards of version 1 and version 2 differ' % name)
    compare_pixels(name, lib_pixels(full(name + '_v1.imh')), lib_pixels(full(name + '.imh')),
                   'version-1 pixels against version 2', 0)

# Version 1 with 8-byte fields (amd64 IRAF asked for version 1) is refused
# with its reason.
iraf('imcopy', 'input=' + full('real.fits'), 'output=' + full('wide.imh'), 'verbose=no', version=1)
r = subprocess.run([helpers + '/helper_imcards', full('wide.imh')], capture_output=True, text=True)
check(r.returncode == 2 and '8-byte fields' in r.stderr, 'wide version 1 refused: %r' % r.stderr)

# ---- Images written by the library --------------------------------------
for name, bits32 in (('short', True), ('int', False), ('real', False), ('double', True)):
    src = fits.getdata(name + '.fits').astype(np.float64).reshape(-1)
    if name == 'short':
        src = np.maximum(src, -32767)    # -32768 is the writers' blank code
    for version in (1, 2):
        out = full('lib%d_%s.imh' % (version, name))
        env = dict(os.environ)
        env['oifversion'] = str(version)
        run([helpers + '/helper_imcopy', full(name + '.fits'), out], env)
        with open(out, 'rb') as fp:
            magic = fp.read(10)
        check(magic[:5] == b'imhv2' if version == 2 else magic == b'i\0m\0h\0d\0r\0',
              '%s: version %d magic' % (out, version))
        readers = ([64] if version == 2 else []) + ([32] if bits32 else [])
        for bits in readers:
            rel = {'short': 0, 'int': 0, 'real': 1e-6, 'double': 1e-15}[name]
            compare_pixels(out, listpixels(out, bits), src, 'IRAF %d-bit listpixels' % bits, rel)
            npix, mean, vmin, vmax = imstatistics(out, bits)
            check(npix == src.size, '%s: imstatistics npix' % out)
            check(np.isclose(vmin, src.min(), rtol=1e-6) and np.isclose(vmax, src.max(), rtol=1e-6),
                  '%s: IRAF %d-bit min/max %g %g' % (out, bits, vmin, vmax))
            check(np.isclose(mean, src.mean(), rtol=1e-5, atol=1e-3 * src.std()),
                  '%s: IRAF %d-bit mean %g against %g' % (out, bits, mean, src.mean()))
            head = imheader(out, bits)
            check(head[0].endswith(': IRAF %s image' % name), '%s: IRAF %d-bit title' % (out, bits))
            check('OBSERVER= \'someone \'           / who took it' in head
                  and any(l.startswith('KEY024  = \'value 24\'') for l in head)
                  and 'made by astropy for %s' % name in head,
                  '%s: IRAF %d-bit user cards and history' % (out, bits))
        if readers:
            compare_header(out, lib_cards(out), imheader(out, readers[0]))

# ---- The other byte order ---------------------------------------------
# Each image above, turned into what a host of the other byte order writes
# by a converter that knows only the documented layouts, reads back with
# the same cards and pixels.  Version 1: every number of the header (and of
# its copy at the start of the pixel file) and every pixel is reversed, and
# the 16-bit characters exchange their bytes.  Version 2: the header keeps
# its big-endian numbers; the pixels are reversed and the byte-order flag
# (and its copy in the pixel file) says so.
PIX_BYTES = {3: 2, 11: 2, 4: 4, 5: 4, 6: 4, 7: 8}

def other_order(src_imh, dst_dir):
    base = os.path.basename(src_imh)[:-4]
    with open(src_imh, 'rb') as fp:
        imh = bytearray(fp.read())
    with open(src_imh[:-4] + '.pix', 'rb') as fp:
        pix = bytearray(fp.read())
    if imh[:5] == b'imhv2':
        pixtype, flag, pixoff = (int.from_bytes(imh[o:o + 4], 'big') for o in (10, 14, 86))
        for b in (imh, pix):
            b[14:18] = (1 - flag).to_bytes(4, 'big')
    else:
        order = 'little' if imh[0:2] == b'i\0' else 'big'
        pixtype, pixoff = (int.from_bytes(imh[o:o + 4], order) for o in (16, 88))
        def turn(b, end):
            for i in range(0, end - 1, 2):
                if 12 <= i < 332 or 372 <= i < 412:
                    if i % 4 == 0:
                        b[i:i + 4] = b[i:i + 4][::-1]
                else:
                    b[i], b[i + 1] = b[i + 1], b[i]
        turn(imh, len(imh))
        turn(pix, 1024)
    size = PIX_BYTES[pixtype]
    start = (pixoff - 1) * 2
    n = (len(pix) - start) // size
    pixels = np.frombuffer(bytes(pix[start:start + n * size]), dtype='u%d' % size).byteswap()
    pix[start:start + n * size] = pixels.tobytes()
    os.makedirs(dst_dir, exist_ok=True)
    dst = os.path.join(dst_dir, base + '.imh')
    with open(dst, 'wb') as fp:
        fp.write(imh)
    with open(os.path.join(dst_dir, base + '.pix'), 'wb') as fp:
        fp.write(pix)
    return dst

for name in ['short', 'int', 'real', 'texts']:     # ushort and double are made above
    iraf('imcopy', 'input=' + full(name + '.imh'), 'output=' + full(name + '_v1.imh'),
         'verbose=no', bits=32)
others = ([full(n + '.imh') for n in ('short', 'ushort', 'int', 'long', 'real', 'double', 'limits', 'texts')]
          + [full(n + '_v1.imh') for n in ('short', 'ushort', 'int', 'real', 'double', 'texts')]
          + [full('lib%d_%s.imh' % (v, n)) for v in (1, 2) for n in ('short', 'int', 'real', 'double')])
for path in others:
    turned = other_order(path, full('other'))
    with open(turned[:-4] + '.pix', 'rb') as a, open(path[:-4] + '.pix', 'rb') as b:
        check(a.read() != b.read(), '%s: the converter changed the pixel file' % path)
    try:
        cards, lib = lib_cards(turned), lib_pixels(turned)
    except RuntimeError as e:
        check(False, 'other byte order: ' + str(e))
        continue
    check(cards == lib_cards(path), '%s: cards of the other byte order differ' % path)
    compare_pixels(turned, lib, lib_pixels(path), 'pixels of the other byte order', 0)
    # IRAF itself reads the turned version-2 files alike (the converter is right)
    if os.path.basename(path) in ('short.imh', 'ushort.imh', 'double.imh', 'lib2_int.imh'):
        compare_pixels(turned, listpixels(turned), listpixels(path), 'IRAF listpixels', 0)

check.finish()
EOF
