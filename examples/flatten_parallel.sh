#!/bin/bash
# flatten_parallel.sh: flatten every image of a manifest with GNU parallel,
# then list the failures.
#
#   flatten_parallel.sh MANIFEST [PARALLEL OPTIONS...]
#
# Runs flatten_one.sh (beside this script) once per manifest line, as many
# at a time as the machine has cores, unless the options say otherwise
# (-j 4; -S host1,host2 with a shared file system: see the README, section
# "Many images").  parallel's log goes to FLATTEN_JOBLOG (default
# MANIFEST.joblog, rewritten each run); at the end flatten_failures.sh prints
# each failed image with its exit status.  Finished images are skipped by
# flatten_one.sh, so running again retries only what failed or changed.
# The options default to --halt never: every image is tried whatever fails.
# Exit status: parallel's (the number of failed images, 1 to 100; 101 for
# more; 255 when parallel itself fails), or 1 when the list finds failures
# that parallel's status did not count.
set -u
manifest=${1:?usage: flatten_parallel.sh MANIFEST [PARALLEL OPTIONS...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
joblog=${FLATTEN_JOBLOG:-$manifest.joblog}
command -v parallel >/dev/null 2>&1 || { echo "flatten_parallel: GNU parallel is not installed" >&2; exit 255; }
[ -r "$manifest" ] || { echo "flatten_parallel: cannot read $manifest" >&2; exit 255; }

# parallel runs the command through a shell: the runner's path is quoted
# here, and parallel quotes each manifest line ({}) as one argument.
parallel --halt never --joblog "$joblog" --env FLATTEN --env FLATTEN_OPTS "$@" \
    "$(printf '%q' "$here/flatten_one.sh")" {} :::: "$manifest"
status=$?
"$here/flatten_failures.sh" "$manifest" "$joblog" >&2
listed=$?
[ $status -eq 0 ] && status=$listed
exit $status
