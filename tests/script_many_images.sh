#!/bin/bash
# Many images under GNU parallel and a Slurm job array (examples/):
#  - three dozen small images written with numpy and astropy (float and
#    scaled 16-bit, names with blanks and quotes, an IRAF output, an output
#    without a suffix, one in folders to be made) go through flatten_parallel.sh on all cores; each
#    output equals the output of one direct run of the tool;
#  - a missing input, collinear points and a missing points file fail with
#    statuses 255, 1 and 2, are listed by name and status, and the batch's
#    status counts them;
#  - a rerun leaves finished outputs alone (same inode and time) and retries
#    the failures; a changed input, points file or option set, a removed
#    output and a run that failed writing in place are all redone;
#  - the Slurm array script run directly with SLURM_ARRAY_TASK_ID, one and
#    several lines a task, and the arrays the submit helper would submit;
#    then on a single-node Slurm started here: sbatch --test-only, and the
#    submit helper's arrays run to the end (sbatch --wait);
#  - parallel with --sshlogin ':' (the local machine), both documented forms.
# Environment: FLATTEN, SRC_DIR, WORK_DIR.
set -u
. "$SRC_DIR/tests/peer_lib.sh"
. "$SRC_DIR/tests/check_lib.sh"
peer_setup script_many_images
cd "$WORK" || exit 1
export FLATTEN
EX=$SRC_DIR/examples
ONE=$EX/flatten_one.sh
TAB=$'\t'

# ---- Images, points files and the manifest -------------------------------
mkdir -p in pts out ref/deep/er
$PY - <<'EOF' || { echo "FAILED: generating the images"; exit 1; }
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(11)
names = []
for i in range(36):
    ny, nx = int(rng.integers(12, 40)), int(rng.integers(12, 48))
    y, x = np.mgrid[1:ny + 1, 1:nx + 1]
    sky = 200 + rng.uniform(-3, 3) * x + rng.uniform(-3, 3) * y + rng.normal(0, 2, (ny, nx))
    sky[int(rng.integers(0, ny)), int(rng.integers(0, nx))] += 5000.0   # a star
    name = {7: "sky field 07", 8: "it's $HOME 08"}.get(i, "img%02d" % i)
    if i % 3 == 0:   # scaled 16-bit
        hdu = fits.PrimaryHDU(np.round((sky - 100) / 0.5).astype(np.int16))
        hdu.header["BSCALE"], hdu.header["BZERO"] = 0.5, 100.0
    else:
        hdu = fits.PrimaryHDU(sky.astype(np.float32))
    hdu.writeto("in/%s.fits" % name)
    with open("pts/%s.txt" % name, "w") as f:
        for _ in range(int(rng.integers(5, 12))):
            f.write("%d %d\n" % (rng.integers(1, nx + 1), rng.integers(1, ny + 1)))
    names.append(name)
open("names.txt", "w").write("\n".join(names) + "\n")
EOF
printf '1 1\n2 2\n5 5\n9 9\n' > pts/collinear.txt
{
    echo "# input${TAB}output${TAB}points"
    echo
    while IFS= read -r n; do
        case $n in
            img05) echo "in/$n.fits${TAB}out/$n.imh${TAB}pts/$n.txt" ;;
            img06) echo "in/$n.fits${TAB}out/plain06${TAB}pts/$n.txt" ;;
            img22) echo "in/$n.fits${TAB}out/deep/er/$n.fits${TAB}pts/$n.txt" ;;
            img09) echo "in/$n.fits   out/$n.fits   pts/$n.txt" ;;        # blanks only
            img10) printf 'in/%s.fits\tout/%s.fits\tpts/%s.txt\r\n' $n $n $n ;; # DOS line
            *) echo "in/$n.fits${TAB}out/$n.fits${TAB}pts/$n.txt" ;;
        esac
        [ "$n" = img20 ] && echo "   # a comment between images"
    done < names.txt
    echo "in/nothere.fits${TAB}out/nothere.fits${TAB}pts/img01.txt"
    echo "in/img02.fits${TAB}out/collinear.fits${TAB}pts/collinear.txt"
    echo "in/img03.fits${TAB}out/nopoints.fits${TAB}pts/none.txt"
} > manifest
lineno() { grep -n -F "out/$1" manifest | head -1 | cut -d: -f1; }

# The reference of each good image: one direct run of the tool.  An output
# named without a suffix gets .fits; IRAF pixel files are compared past
# their 1024-byte header (which holds time stamps and the file's name).
marker_of() { case $1 in img22) echo out/deep/er/img22.fits.done ;; img05) echo out/img05.imh.done ;; img06) echo out/plain06.done ;; *) echo "out/$1.fits.done" ;; esac; }
out_file() { case $1 in img06) echo "plain06.fits" ;; img22) echo "deep/er/img22.fits" ;; img05) echo "img05.pix" ;; *) echo "$1.fits" ;; esac; }
make_ref() { # name [points file]
    local o
    case $1 in img22) o=ref/deep/er/img22.fits ;; img05) o=ref/img05.imh ;; img06) o=ref/plain06 ;; *) o=ref/$1.fits ;; esac
    { printf 'in/%s.fits\n%s\n' "$1" "$o"; cat "${2:-pts/$1.txt}"; } | "$FLATTEN" 2>/dev/null
}
same_as_ref() { # name
    local f; f=$(out_file "$1")
    case $1 in img05) cmp -s -i 1024 "out/$f" "ref/$f" ;; *) cmp -s "out/$f" "ref/$f" ;; esac
}
refs=0
while IFS= read -r n; do make_ref "$n" && refs=$((refs + 1)); done < names.txt
check "all 36 direct runs succeed ($refs)" test "$refs" = 36

# ---- The runner on lines it refuses or passes over ------------------------
while IFS='|' read -r want args; do
    eval "set -- $args"
    "$ONE" "$@" >/dev/null 2>err.txt
    got=$?
    check "flatten_one $args: status $want (got $got)" test "$got" = "$want"
    [ "$want" = 2 ] && check "flatten_one $args: says why" grep -q "^flatten_one: FAILED: \|^usage: " err.txt
done <<'EOF'
0|''
0|'   '
0|'  # note'
0|$'#a\tb\tc'
0|$'# comment' '' ''
2|'in/img01.fits out/x.fits'
2|'a b c d'
2|$'in/img01.fits\tout/x.fits'
2|$'in/img01.fits\t\tout/x.fits\tpts/img01.txt'
2|$'in/img01.fits\tout/x.fits\tpts/img01.txt\t'
2|in/img01.fits '' pts/img01.txt
2|$'in/img01.fits\tout/x.fits\tpts/none.txt'
2|a b
EOF
check "refused lines wrote nothing" test ! -e out/x.fits

# ---- A batch under GNU parallel ------------------------------------------
"$EX/flatten_parallel.sh" manifest > run1.out 2> run1.err
status=$?
check "batch with 3 failures: parallel's status 3 (got $status)" test "$status" = 3
for want in "FAILED line $(lineno nothere.fits): in/nothere.fits -> out/nothere.fits: status 255" \
            "FAILED line $(lineno collinear.fits): in/img02.fits -> out/collinear.fits: status 1" \
            "FAILED line $(lineno nopoints.fits): in/img03.fits -> out/nopoints.fits: status 2" \
            "3 of 39 images failed, 0 not run"; do
    check "summary: $want" grep -qxF "$want" run1.err
done
check "the tool's own message for the missing input" grep -q '^Error opening input file "in/nothere.fits"' run1.err
check "the runner names the collinear image" \
    grep -qxF "flatten_one: FAILED: in/img02.fits -> out/collinear.fits (status 1)" run1.err
check "nothing written for the failures" \
    bash -c '! ls out/nothere.* out/collinear.* out/nopoints.* 2>/dev/null | grep -q .'
same=0
while IFS= read -r n; do
    if same_as_ref "$n" && [ -f "$(marker_of "$n")" ]; then
        same=$((same + 1))
    else
        echo "differs or unmarked: $n"
    fi
done < names.txt
check "36 outputs equal to direct runs, each marked finished ($same)" test "$same" = 36

# ---- A rerun skips what is finished --------------------------------------
stamps() { stat -c '%n %i %y' out/* | sort; }
stamps > before.txt
cp in/img01.fits in/nothere.fits
{ printf 'in/nothere.fits\nref/nothere.fits\n'; cat pts/img01.txt; } | "$FLATTEN" 2>/dev/null
"$EX/flatten_parallel.sh" manifest > run2.out 2> run2.err
status=$?
check "rerun: 2 failures left (got $status)" test "$status" = 2
stamps | grep -v 'nothere' > after.txt
check "rerun: finished outputs and markers untouched (inode, time)" diff before.txt after.txt
check "rerun: the repaired image is done" cmp -s out/nothere.fits ref/nothere.fits
check "rerun: the collinear image was retried" \
    grep -qxF "flatten_one: FAILED: in/img02.fits -> out/collinear.fits (status 1)" run2.err
check "rerun: summary" grep -qxF "2 of 39 images failed, 0 not run" run2.err
check "rerun: no other image ran" test "$(grep -c '^flatten_one: FAILED' run2.err)" = 2

# What makes a finished image run again: one line at a time, the output's
# inode must change (the tool writes a new file and renames it).
line_of() { sed -n "$(lineno "$1")p" manifest; }
redone() { # output as the manifest names it, its file, then the command that must make it run again
    local o=$1 f=$2 old; shift 2
    old=$(stat -c '%i %y' "$f")
    "$@"
    "$ONE" "$(line_of "$o")" 2>/dev/null &&
        [ "$(stat -c '%i %y' "$f")" != "$old" ]
}
not() { ! "$@"; }
touch_later() { touch -d '+2 seconds' "$1"; }
check "redone: input newer than the marker" redone img11.fits out/img11.fits touch_later in/img11.fits
check "redone: output removed" redone img12.fits out/img12.fits rm out/img12.fits
check "redone: points file changed" redone img13.fits out/img13.fits sed -i '$d' pts/img13.txt
make_ref img13 && check "redone: the new points give the new output" same_as_ref img13
check "redone: another option set" redone img14.fits out/img14.fits export FLATTEN_OPTS=-1
unset FLATTEN_OPTS
check "redone: back to no options" redone img14.fits out/img14.fits true
check "not redone: same job" not redone img15.fits out/img15.fits true
check "redone: marker damaged" redone img16.fits out/img16.fits truncate -s 10 out/img16.fits.done
check "redone: output without a suffix removed" redone plain06 out/plain06.fits rm out/plain06.fits

# A failed run never looks finished, not even when the tool writes in place
# (an output reached through a symbolic link is left incomplete).
line=$(line_of img17.fits)
mv out/img17.fits target17.fits
ln -s ../target17.fits out/img17.fits
touch_later in/img17.fits
(ulimit -f 4; exec "$ONE" "$line") 2>err.txt
status=$?
check "in place under a 4 KiB limit: status 255 (got $status)" test "$status" = 255
check "in place: said incomplete" grep -q "left incomplete" err.txt
check "in place: no marker" test ! -e out/img17.fits.done
"$ONE" "$line" 2>/dev/null
check "in place: the next run redoes it" cmp -s target17.fits ref/img17.fits
check "in place: and marks it" test -f out/img17.fits.done

# ---- The Slurm array script, run as a task -------------------------------
task() { # task id, then environment assignments; prints the status
    env SLURM_ARRAY_TASK_ID="$1" "${@:2}" bash "$EX/flatten_array.sbatch" manifest > /dev/null 2>task.err
    echo $?
}
n=$(lineno img21.fits)
rm out/img21.fits*
check "array task $n: status 0" test "$(task "$n")" = 0
check "array task $n: output equals a direct run" same_as_ref img21
n=$(lineno collinear.fits)
check "array task $n (collinear): status 1" test "$(task "$n")" = 1
check "array task $n: names the image" grep -qF "in/img02.fits -> out/collinear.fits (status 1)" task.err
check "array task 1 (a comment): status 0" test "$(task 1)" = 0
total=$(awk 'END { print NR }' manifest)
check "array task past the end: status 2" test "$(task $((total + 1)))" = 2
check "array task 0: status 2" test "$(task 0)" = 2
# Five lines a task: task 6 of an array offset by 3 takes lines 29 to 33.
first=$((3 + 5 * 5 + 1))
for i in $(seq $first $((first + 4))); do
    f=$(sed -n "${i}p" manifest | cut -f2)
    [ -n "$f" ] && rm -f "$f" "$f.done"
done
check "array task 6, 5 a task, offset 3: status 0" \
    test "$(task 6 FLATTEN_PER_TASK=5 FLATTEN_OFFSET=3)" = 0
made=0
for i in $(seq $first $((first + 4))); do
    f=$(sed -n "${i}p" manifest | cut -f2)
    [ -n "$f" ] && [ -f "$f.done" ] && made=$((made + 1))
done
check "array task 6: its 5 images done ($made)" test "$made" = 5
check "array task 9, 5 a task: the status of its last failed line" \
    test "$(task 9 FLATTEN_PER_TASK=5)" = 2     # lines 41-45: collinear, nopoints

# The submit helper's arrays (not submitted: no cluster here) cover every
# line exactly once, within the array size limit.
covered() { # MaxArraySize, images per task: the lines the arrays would run
    FLATTEN_SUBMIT_DRY=1 FLATTEN_MAX_ARRAY=$1 FLATTEN_PER_TASK=$2 "$EX/flatten_submit.sh" manifest --partition=x |
        while IFS= read -r printed; do
            eval "cmd=($printed)"
            range=$(printf '%s\n' "${cmd[@]}" | sed -n 's/^--array=1-//p')
            off=$(printf '%s\n' "${cmd[@]}" | sed -n 's/^--export=ALL,FLATTEN_OFFSET=//p')
            [ "${cmd[3]}" = --partition=x ] && [ "$range" -le $(($1 - 1)) ] || echo bad
            for t in $(seq 1 "$range"); do seq $((off + (t - 1) * $2 + 1)) $((off + t * $2)); done
        done | awk -v n="$total" '$1 <= n' | sort -n | tr '\n' ' '
}
all=$(seq 1 "$total" | tr '\n' ' ')
for limits in "1001 1" "11 1" "7 4" "2 3"; do
    check "submit helper, MaxArraySize and images a task $limits: every line once" \
        test "$(covered $limits)" = "$all"
done
check "submit helper: 5 arrays of at most 10 for $total lines" \
    test "$(FLATTEN_SUBMIT_DRY=1 FLATTEN_MAX_ARRAY=11 "$EX/flatten_submit.sh" manifest | wc -l)" = 5

# ---- A single-node Slurm cluster of the test's own -----------------------
# munged, slurmctld and slurmd with their own key, configuration, free
# ports and state under $WORK/slurm (munge's socket in a short folder of
# /tmp: a socket's path holds at most 107 bytes), stopped by their process
# ids when the test ends.  MaxArraySize 5 makes the submit helper split the manifest.
# Each task is a scheduled job (seconds): 6 images a task keep them few.
SL=$WORK/slurm
slurm_stop() {
    local p pid i
    for p in slurmd slurmctld munged; do
        [ -s "$SL/$p.pid" ] || continue
        pid=$(cat "$SL/$p.pid")
        kill "$pid" 2>/dev/null || continue
        for i in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    done
    [ -n "${SOCKDIR:-}" ] && rm -rf "$SOCKDIR"
}
trap slurm_stop EXIT
trap 'exit 1' INT TERM HUP
slurm_start() {
    local ports p1 p2 i
    mkdir -p "$SL/state" "$SL/spool" "$SL/log" || return 1
    SOCKDIR=$(mktemp -d /tmp/flatten-munge.XXXXXX) || return 1
    head -c 1024 /dev/urandom > "$SL/munge.key" && chmod 400 "$SL/munge.key" || return 1
    ports=$($PY -c 'import socket
ss = [socket.socket() for _ in range(2)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in ss])') || return 1
    read -r p1 p2 <<< "$ports"
    cat > "$SL/slurm.conf" <<CONF
ClusterName=flattentest
SlurmctldHost=localhost
AuthType=auth/munge
AuthInfo=socket=$SOCKDIR/munge.sock
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$p1
SlurmdPort=$p2
StateSaveLocation=$SL/state
SlurmdSpoolDir=$SL/spool
SlurmctldPidFile=$SL/slurmctld.pid
SlurmdPidFile=$SL/slurmd.pid
SlurmctldLogFile=$SL/log/slurmctld.log
SlurmdLogFile=$SL/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
ReturnToService=2
MaxArraySize=5
NodeName=localhost CPUs=2 RealMemory=100 State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
CONF
    export SLURM_CONF=$SL/slurm.conf
    munged --key-file="$SL/munge.key" --socket="$SOCKDIR/munge.sock" --pid-file="$SL/munged.pid" \
        --log-file="$SL/log/munged.log" --seed-file="$SL/munge.seed" -f || return 1
    slurmctld -i || return 1
    slurmd -N localhost || return 1
    for i in $(seq 1 60); do
        [ "$(sinfo -h -o %t 2>/dev/null)" = idle ] && return 0
        sleep 0.5
    done
    return 1
}
if slurm_start; then
    sbatch --test-only --array=1-4 "$EX/flatten_array.sbatch" manifest > /dev/null 2>slurm.err
    check "sbatch --test-only: accepted (status $?)" grep -q "to start at" slurm.err
    sed 's|out/|out4/|' manifest > manifest4
    FLATTEN_PER_TASK=6 "$EX/flatten_submit.sh" manifest4 > /dev/null 2>slurm.err
    status=$?
    check "Slurm, 6 images a task: submitted (status $status)" test "$status" = 0
    for i in $(seq 1 300); do
        [ -z "$(squeue -h 2>/dev/null)" ] && break
        sleep 0.5
    done
    check "Slurm: every task ended within 150 s" test -z "$(squeue -h 2>/dev/null)"
    check "Slurm: 2 arrays, 4 and 3 tasks" \
        test "$(scontrol -o show job | grep -o 'ArrayTaskId=[0-9]*' | sort -t= -k2n | tr '\n' ' ')" = \
        "$(for i in 1 1 2 2 3 3 4; do printf 'ArrayTaskId=%s ' $i; done)"
    same4=0
    while IFS= read -r n; do
        f=$(out_file "$n")
        case $n in img05) c=(cmp -s -i 1024) ;; *) c=(cmp -s) ;; esac
        "${c[@]}" "out4/$f" "ref/$f" && same4=$((same4 + 1))
    done < names.txt
    check "Slurm: 36 outputs equal to direct runs ($same4)" test "$same4" = 36
    check "Slurm: the task's log names the collinear image" \
        grep -qxF "flatten_one: FAILED: in/img02.fits -> out4/collinear.fits (status 1)" flatten-*_3.log
    check "Slurm: task 3 of the second array, lines 37 to 42, ends with status 2" \
        test "$(scontrol -o show job | grep -v 'ExitCode=0:0' | grep -o 'ArrayTaskId=[0-9]* .*ExitCode=[0-9:]*' |
                sed 's/ .*ExitCode=/ /')" = "ArrayTaskId=3 2:0"
else
    check "a single-node Slurm starts (logs in $SL/log)" false
fi

# ---- --sshlogin ':' ------------------------------------------------------
# The shared-file-system form (the wrapper with -S) and the transfer form
# (fields apart, comments dropped, inputs sent and outputs returned).
sed 's|out/|out2/|' manifest > manifest2
mkdir -p out2
FLATTEN_JOBLOG=ssh.joblog "$EX/flatten_parallel.sh" manifest2 -S : -j 4 >/dev/null 2>ssh.err
check "-S :, shared files: 2 failures (got $?)" grep -qxF "2 of 39 images failed, 0 not run" ssh.err
check "-S :: the joblog names the host" test "$(awk -F'\t' 'NR == 2 { print $2 }' ssh.joblog)" = :
grep -v '^[[:space:]]*\(#\|$\)' manifest | sed 's|out/|out3/|' | tr -d '\r' |
    awk '!/\t/ { gsub(/ +/, "\t") } 1' > jobs3
mkdir -p out3
parallel -S : --colsep '\t' --transferfile {1} --transferfile {3} --return {2} --return {2}.done \
    --cleanup --joblog jobs3.joblog --env FLATTEN "$(printf %q "$ONE")" {1} {2} {3} :::: jobs3 \
    >/dev/null 2>&1
status=$?
check "-S :, transfer form: status 2 (got $status)" test "$status" = 2
"$EX/flatten_failures.sh" jobs3 jobs3.joblog > fail3.txt
check "-S :, transfer form: the summary's status 1" test $? = 1
check "-S :, transfer form: summary" grep -qxF "2 of 39 images failed, 0 not run" fail3.txt
same2=0; same3=0
while IFS= read -r n; do
    f=$(out_file "$n")
    case $n in img05) c=(cmp -s -i 1024) ;; *) c=(cmp -s) ;; esac
    "${c[@]}" "out2/$f" "ref/$f" && same2=$((same2 + 1))
    "${c[@]}" "out3/$f" "ref/$f" && same3=$((same3 + 1))
done < names.txt
check "-S :: 36 outputs equal to direct runs, both forms ($same2, $same3)" test "$same2$same3" = 3636
check "-S :, transfer form: inputs left in place" test -f in/img01.fits

# The summary of a run that parallel stopped early (--halt now,fail=1).
FLATTEN_JOBLOG=halt.joblog "$EX/flatten_parallel.sh" manifest2 -j 1 --halt now,fail=1 \
    >/dev/null 2>halt.err
status=$?
check "--halt now,fail=1: status 1 (got $status)" test "$status" = 1
check "--halt now,fail=1: the lines not started are listed" grep -q "^NOT RUN line " halt.err
check "--halt now,fail=1: the count" grep -Eq "^1 of 39 images failed, [1-9][0-9]* not run$" halt.err

echo "script_many_images: $pass passed, $fail failed"
[ "$fail" = 0 ]
