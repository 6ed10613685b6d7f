#!/bin/bash
# flatten_one.sh: flatten one image of a batch, for GNU parallel, a Slurm
# job array or a plain loop.
#
#   flatten_one.sh 'MANIFEST LINE'       one line of a manifest (below)
#   flatten_one.sh IN OUT POINTS         the three fields given apart
#
# Manifest: one image per line, three fields: the input image name, the
# output image name and a points file (reference points "sample line", one
# per line, as the tool reads them after its two name lines).
#   - Fields are separated by TABs when the line holds a TAB: names may then
#     hold blanks (kept as they are, leading and trailing ones too).  A line
#     without a TAB is split at runs of blanks.  A line must have exactly
#     three non-empty fields.
#   - Nothing is quoted or escaped: every character is taken as it stands
#     (quotes, '$', '\', '#' inside a name).  A name cannot hold a TAB or a
#     line break.  One CR ending the line (a DOS file) is dropped.
#   - An empty line, a line of blanks, and a line whose first non-blank
#     character is '#' are comments: nothing is done and the status is 0.
#   - The input field is the tool's first line as it stands: a subset or an
#     extension may follow the file name (m51.fits,@100:611,@1:512).
#   - Relative names are taken from the current directory.  Each output
#     must be named on one line only (two jobs writing one file collide).
#     The output's folder is made when it does not exist.
#
# Finished outputs are skipped.  After the tool succeeds, a marker OUT.done
# is written beside the output holding the tool's options and the whole
# job (both names and the points); an output is finished when that marker
# exists, holds exactly the job that would be run now, the output exists
# (OUT, or OUT.fits, OUT.imh or OUT.zzh for a name without a suffix) and
# the input file is not newer than the marker.  The marker is removed
# before each run, so an interrupted or failed run never looks finished,
# even where the tool writes its output in place (a symbolic link).  A
# changed points file, input or option set makes the image run again.
#
# Environment: FLATTEN the tool (default: flatten on PATH); FLATTEN_OPTS
# options given to it, split at blanks (for example "-3").
# Exit status: 0 done, skipped or a comment; the tool's status when it
# failed (1 usage or fit, 255 fatal, 128+N killed by signal N); 2 a bad
# manifest line or an unreadable points file; 127 no tool.  A failure is
# also reported on standard error with the image's name and the status,
# after the tool's own messages.
set -u
me=flatten_one
tool=${FLATTEN:-flatten}
read -r -a opts <<< "${FLATTEN_OPTS:-}"

# Report a refusal of the runner itself with the arguments it was given.
refuse() { # status, message
    echo "$me: FAILED: $2 (status $1)" >&2
    exit "$1"
}

# ---- The three fields ----------------------------------------------------
if [ $# -eq 1 ]; then
    line=${1%$'\r'}
    trimmed=${line#"${line%%[![:space:]]*}"}
    case $trimmed in ''|'#'*) exit 0 ;; esac
    if [[ $line == *$'\t'* ]]; then
        # Exactly two TABs; the empty-field check below refuses "a<TAB><TAB>b".
        tabs=${line//[!$'\t']/}
        [ ${#tabs} -eq 2 ] || refuse 2 "manifest line needs 3 TAB-separated fields: $line"
        in=${line%%$'\t'*}; rest=${line#*$'\t'}
        out=${rest%%$'\t'*}; points=${rest#*$'\t'}
    else
        read -r -a fields <<< "$line"
        [ ${#fields[@]} -eq 3 ] || refuse 2 "manifest line needs 3 fields: $line"
        in=${fields[0]}; out=${fields[1]}; points=${fields[2]}
    fi
    [ -n "$in" ] && [ -n "$out" ] && [ -n "$points" ] ||
        refuse 2 "manifest line has an empty field: $line"
elif [ $# -eq 3 ]; then
    in=$1; out=$2; points=$3
    # A comment line split at TABs by a scheduler arrives as its text in
    # the first field and two empty ones: no job has an empty output name.
    if [ -z "$out" ] && [ -z "$points" ]; then
        trimmed=${in#"${in%%[![:space:]]*}"}
        case $trimmed in ''|'#'*) exit 0 ;; esac
    fi
    [ -n "$in" ] && [ -n "$out" ] && [ -n "$points" ] ||
        refuse 2 "empty field in: '$in' '$out' '$points'"
else
    echo "usage: $me 'IN<TAB>OUT<TAB>POINTS' | $me IN OUT POINTS" >&2
    exit 2
fi

name="$in -> $out"
[ -f "$points" ] && [ -r "$points" ] || refuse 2 "$name: cannot read points file $points"
command -v "$tool" >/dev/null 2>&1 || refuse 127 "$name: no flatten program ($tool)"

# The job as the tool reads it: the two names, then the points file.  The
# marker holds it after the options, so that it tells this job exactly.
job=$(printf '%s\n%s\n' "$in" "$out"; cat -- "$points") ||
    refuse 2 "$name: cannot read points file $points"
record=$(printf 'flatten_one marker 1\noptions: %s\n%s' "${opts[*]}" "$job")
marker=$out.done

# The file that holds the input image: the name as written, else without a
# subset (after the first comma) and an extension selector ([...]), each
# tried also with the suffixes the tool tries.  Prints nothing when none is
# found: then the output is never taken as finished.
input_file() {
    local base=$1 sfx c
    for c in "$base" "${base%%,*}" "$(sed 's/\[[^]]*\]$//' <<< "${base%%,*}")"; do
        for sfx in "" .imh .zzh .fits .fit .s; do
            [ -f "$c$sfx" ] && { printf '%s' "$c$sfx"; return; }
        done
    done
}

# Whether the output exists: a name without a known suffix is written with
# the suffix of the input's form appended.
output_exists() {
    case $out in
        *.fits|*.fit|*.imh|*.zzh) [ -f "$out" ] ;;
        *) [ -f "$out.fits" ] || [ -f "$out.imh" ] || [ -f "$out.zzh" ] ;;
    esac
}

if [ -f "$marker" ] && [ "$(cat -- "$marker" 2>/dev/null)" = "$record" ] && output_exists; then
    src=$(input_file "$in")
    if [ -n "$src" ] && ! [ "$src" -nt "$marker" ]; then
        exit 0
    fi
fi

# ---- The run -------------------------------------------------------------
rm -f -- "$marker" ||
    refuse 2 "$name: cannot remove the old marker $marker"
# The output's folder is made when missing: a survey's outputs are often
# sorted into folders, and a machine the inputs were sent to has none.
dir=$(dirname -- "$out")
[ -d "$dir" ] || mkdir -p -- "$dir" || refuse 2 "$name: cannot make the folder $dir"
printf '%s\n' "$job" | "$tool" "${opts[@]}"
status=$?
if [ $status -ne 0 ]; then
    echo "$me: FAILED: $name (status $status)" >&2
    exit $status
fi
# The marker is written whole under a temporary name, then renamed, so a
# marker that exists is complete.
tmp=$marker.tmp$$
if printf '%s\n' "$record" > "$tmp" && mv -f -- "$tmp" "$marker"; then
    exit 0
fi
rm -f -- "$tmp"
echo "$me: warning: $name: written, but $marker could not be: a rerun will redo it" >&2
exit 0
