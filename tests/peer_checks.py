"""Check counting for the script tests that compare the library with peer
software: each check is counted, a failed one is kept (and printed at once
when asked), and finish() prints the tally and ends the process with status
1 when any check failed, 0 otherwise."""
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
