"""Check counting for the script tests that compare the library with peer
software: each check is counted, a failed one is kept (and printed at once
when asked), and finish() prints the tally and ends the process with status
1 when any check failed, 0 otherwise; and write_fits, the FITS files those
tests make from stored pixel values."""
import sys


class Checks:
    def __init__(self, name, echo=False):
        self.name = name          # the script's name, first word of the tally
        self.echo = echo          # print a failure when it happens
        self.count = 0
        self.failures = []

    def __call__(self, ok, msg):
        """Count one check; keep msg when ok is false.  Returns ok."""
        self.count += 1
        if not ok:
            self.failures.append(msg)
            if self.echo:
                print('FAILED:', msg)
        return ok

    def finish(self):
        """Print the failures not yet printed and the tally, then exit."""
        if not self.echo:
            for f in self.failures:
                print('FAIL:', f)
        print('%s: %d checks, %d failed' % (self.name, self.count, len(self.failures)))
        sys.exit(1 if self.failures else 0)


def write_fits(path, bitpix, raw, cards):
    """Header cards by astropy, pixels as stored bytes, 2880-byte records."""
    from astropy.io import fits
    h = fits.Header()
    h['SIMPLE'] = True
    h['BITPIX'] = bitpix
    h['NAXIS'] = raw.ndim
    for i, n in enumerate(reversed(raw.shape)):
        h['NAXIS%d' % (i + 1)] = n
    for k, v in cards:
        h[k] = v
    dtype = {8: 'u1', 16: '>i2', 32: '>i4', -32: '>f4', -64: '>f8'}[bitpix]
    data = raw.astype(dtype).tobytes()
    data += b'\0' * ((-len(data)) % 2880)
    with open(path, 'wb') as fp:
        fp.write(h.tostring().encode('ascii') + data)
