#!/bin/bash
# flatten_submit.sh: submit flatten_array.sbatch over a whole manifest.
#
#   flatten_submit.sh MANIFEST [SBATCH OPTIONS...]
#
# A Slurm array may hold at most MaxArraySize - 1 as its largest index
# (1001 by default, so 1000 tasks): a longer manifest is submitted as
# several arrays, each told its first line through FLATTEN_OFFSET.
# Environment: FLATTEN_PER_TASK images per task (default 1);
# FLATTEN_ARRAY_LIMIT at most this many tasks of an array running at once
# (sbatch's %N); FLATTEN_MAX_ARRAY the cluster's MaxArraySize (default:
# asked of scontrol, else 1001); FLATTEN_SUBMIT_DRY=1 prints the sbatch
# commands instead of running them.  FLATTEN and FLATTEN_OPTS are passed on
# to the tasks, with FLATTEN_ONE set to the runner beside this script.
# Exit status: 0 when every array was submitted, else the first nonzero
# status of sbatch (with --wait, sbatch waits for the array and gives the
# highest exit status of its tasks); the other arrays are submitted all
# the same.
set -u
manifest=${1:?usage: flatten_submit.sh MANIFEST [SBATCH OPTIONS...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
[ -r "$manifest" ] || { echo "flatten_submit: cannot read $manifest" >&2; exit 2; }
case $manifest in /*) ;; *) manifest=$PWD/$manifest ;; esac
per=${FLATTEN_PER_TASK:-1}
max=${FLATTEN_MAX_ARRAY:-$(scontrol show config 2>/dev/null | awk '$1 == "MaxArraySize" { print $3 }')}
max=${max:-1001}
case $per$max in *[!0-9]*) echo "flatten_submit: FLATTEN_PER_TASK and MaxArraySize must be whole numbers" >&2; exit 2 ;; esac
[ "$per" -ge 1 ] && [ "$max" -ge 2 ] || { echo "flatten_submit: FLATTEN_PER_TASK must be at least 1, MaxArraySize at least 2" >&2; exit 2; }
limit=${FLATTEN_ARRAY_LIMIT:+%$FLATTEN_ARRAY_LIMIT}

lines=$(awk 'END { print NR }' "$manifest")
tasks=$(((lines + per - 1) / per))
chunk=$((max - 1))
export FLATTEN_ONE=$here/flatten_one.sh FLATTEN_PER_TASK=$per
done_tasks=0
status=0
while [ $done_tasks -lt "$tasks" ]; do
    n=$((tasks - done_tasks))
    [ $n -gt $chunk ] && n=$chunk
    cmd=(sbatch "--array=1-$n$limit" "--export=ALL,FLATTEN_OFFSET=$((done_tasks * per))" "$@"
         "$here/flatten_array.sbatch" "$manifest")
    if [ "${FLATTEN_SUBMIT_DRY:-0}" = 1 ]; then
        printf '%q ' "${cmd[@]}"; echo
    else
        "${cmd[@]}"
        s=$?
        [ $status -eq 0 ] && status=$s
    fi
    done_tasks=$((done_tasks + n))
done
exit $status
