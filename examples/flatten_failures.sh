#!/bin/bash
# flatten_failures.sh: the failures of a batch run under GNU parallel.
#
#   flatten_failures.sh JOBLIST JOBLOG
#
# JOBLIST is the file parallel read its arguments from, one job a line (the
# manifest, or the lines kept from it); JOBLOG the file of its --joblog.
# parallel numbers its jobs by their line (Seq), so each failed job is named
# by its line's input and output.  Prints one line per failure
#   FAILED line 7: m31.fits -> out/m31.fits: status 255
# (or "killed by signal N"), one per line that parallel never started (it
# stopped early, --halt), then a count.  Exit status: 0 when every line ran
# and succeeded, 1 otherwise, 2 when a file cannot be read.
set -u
list=${1:?usage: flatten_failures.sh JOBLIST JOBLOG}
log=${2:?usage: flatten_failures.sh JOBLIST JOBLOG}
[ -r "$list" ] || { echo "flatten_failures: cannot read $list" >&2; exit 2; }
[ -r "$log" ] || { echo "flatten_failures: cannot read $log" >&2; exit 2; }

# The joblog's columns: Seq Host Starttime JobRuntime Send Receive Exitval
# Signal Command, separated by TABs, after one heading line.  Lines of the
# list that are comments are not jobs and are not counted.  The list is
# printed in the order of the lines.
awk -F '\t' '
    function job(line,   f, n, t) {
        sub(/\r$/, "", line)
        if (index(line, "\t")) n = split(line, f, "\t")
        else n = split(line, f, /[ \t]+/)
        if (n >= 1 && f[1] == "") { for (t = 1; t < n; t++) f[t] = f[t + 1]; n-- }
        return n >= 2 ? f[1] " -> " f[2] : line
    }
    FNR == NR { text[FNR] = $0; lines = FNR; next }
    FNR == 1 { next }
    { ran[$1] = 1
      if ($7 != 0 || $8 != 0) {
          why = $8 != 0 ? "killed by signal " $8 : "status " $7
          bad[$1] = why
          failed++
      } }
    END {
        for (i = 1; i <= lines; i++) {
            if (text[i] ~ /^[ \t\r]*(#|$)/) continue
            jobs++
            if (i in bad) print "FAILED line " i ": " job(text[i]) ": " bad[i]
            if (!(i in ran)) { print "NOT RUN line " i ": " job(text[i]); notrun++ }
        }
        printf "%d of %d images failed, %d not run\n", failed, jobs, notrun
        exit (failed + notrun > 0)
    }' "$list" "$log"
