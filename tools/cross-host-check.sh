#!/bin/bash
# Files written on one host are read on every other: each build directory
# given (the first is the reference, usually the native build) writes the
# same images through the library's writers with its helper_writeimg; then
# every host reads every host's files with helper_imcards (cards) and
# helper_readpix (pixels as doubles, blanks named), and the results must
# equal the reference host's reading of its own files.  FITS files must be
# byte-identical on every host.  IRAF and ZZ files hold the writing host's
# byte order: IRAF files are read on hosts of either order (their header
# shows it); ZZ files carry no mark of it, so they are compared between
# hosts of the same byte order only.
# Usage: tools/cross-host-check.sh BUILD_DIR BUILD_DIR...
# Each build directory holds tests/helper_* and tests/test_runner.txt (the
# command prefix its programs run under, empty for the native build).
# Prints one line per failed comparison and "N passed, N failed"; exit 0
# when nothing failed.
set -u
if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR BUILD_DIR..." >&2
    exit 2
fi

WORK=$(mktemp -d /tmp/cross-host.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
passed=0
failed=0

fail() {
    echo "FAILED: $*"
    failed=$((failed + 1))
}

# The images: NAME WRITER BITPIX [BSCALE BZERO [BLANK]]; every BITPIX, raw
# and scaled, with blank codes, and float images holding NaN and infinities.
CASES=(
    "u8 c 8"
    "i16 s 16"
    "i32 i 32"
    "f32 r -32"
    "f64 d -64"
    "u8s d 8 0.5 10 255"
    "i16s d 16 2 100 -32768"
    "i32s d 32 0.25 -7 -999"
    "f32s d -32 3 1"
    "f64s d -64 0.5 2"
)
FORMS="fits imh v2.imh zzh"   # v2.imh: IRAF header version 2

# Host name (the build directory's last component), runner prefix, byte
# order (the byte-order word of the host's compiler).
declare -A RUNNER ORDER
HOSTS=()
for dir in "$@"; do
    h=$(basename "$dir")
    [ -x "$dir/tests/helper_writeimg" ] || { echo "no helpers in $dir" >&2; exit 2; }
    HOSTS+=("$h")
    RUNNER[$h]=$(cat "$dir/tests/test_runner.txt" 2>/dev/null)
    ORDER[$h]=$(cat "$dir/tests/byte_order.txt" 2>/dev/null)
done
declare -A BUILD
i=0
for dir in "$@"; do
    BUILD[${HOSTS[$i]}]=$(cd "$dir" && pwd)
    i=$((i + 1))
done
ref=${HOSTS[0]}

# Run program PROG (a path below the build directory) of host h.
run_prog() {
    local h=$1 prog=$2
    shift 2
    ${RUNNER[$h]} "${BUILD[$h]}/$prog" "$@"
}

# Run helper PROG of host h with arguments.
run() {
    local h=$1 prog=$2
    shift 2
    run_prog "$h" "tests/$prog" "$@"
}

# The files: NAME.FORM and the writer's arguments.  IRAF has no 8-bit
# pixels, and the byte writer does not convert: no u8.imh.
FILES=()
for c in "${CASES[@]}"; do
    set -- $c
    for form in $FORMS; do
        case $form/$2 in *imh/c) continue ;; esac
        FILES+=("$1.$form ${c#* }")
    done
done

# Every host writes every file.
for h in "${HOSTS[@]}"; do
    mkdir -p "$WORK/$h"
    for fc in "${FILES[@]}"; do
        set -- $fc
        file=$1
        shift
        version=1
        case $file in *.v2.imh) version=2 ;; esac
        if oifversion=$version run "$h" helper_writeimg "$WORK/$h/$file" "$@" > /dev/null 2>&1; then
            passed=$((passed + 1))
        else
            fail "$h could not write $file"
        fi
    done
done

# FITS bytes are the same everywhere.
for h in "${HOSTS[@]:1}"; do
    for fc in "${FILES[@]}"; do
        set -- $fc
        case $1 in *.fits) ;; *) continue ;; esac
        if cmp -s "$WORK/$ref/$1" "$WORK/$h/$1"; then
            passed=$((passed + 1))
        else
            fail "$1 written on $h differs from the one written on $ref"
        fi
    done
done

# What reader host r sees of a file: cards, then pixels.
view() {
    local r=$1 file=$2
    run "$r" helper_imcards "$file" 2>&1
    run "$r" helper_readpix "$file" d 2>&1
}

# Reference: the reference host's view of its own files.
for fc in "${FILES[@]}"; do
    set -- $fc
    view "$ref" "$WORK/$ref/$1" > "$WORK/ref.$1.txt"
    grep -q '^count ' "$WORK/ref.$1.txt" || fail "$ref cannot read its own $1"
done

# Every host reads every host's files and sees what the reference sees
# (ZZ files between hosts of one byte order).
for r in "${HOSTS[@]}"; do
    for w in "${HOSTS[@]}"; do
        [ "$r/$w" = "$ref/$ref" ] && continue
        for fc in "${FILES[@]}"; do
            set -- $fc
            case $1 in
            *.zzh) [ "${ORDER[$r]}" = "${ORDER[$w]}" ] || continue ;;
            esac
            view "$r" "$WORK/$w/$1" > "$WORK/view.txt"
            if cmp -s "$WORK/ref.$1.txt" "$WORK/view.txt"; then
                passed=$((passed + 1))
            else
                fail "$r reads $1 written on $w differently from $ref:" \
                    "$(diff "$WORK/ref.$1.txt" "$WORK/view.txt" | head -4 | tr '\n' ' ')"
            fi
        done
    done
done

# The tool flattens the sample image, and the reference host's scaled
# 16-bit and float images (blanks, NaN and infinities among their pixels),
# into the same bytes on every host.
src=$(cd "$(dirname "$0")/.." && pwd)
POINTS=$'1 1\n37 1\n1 23\n37 23\n19 12\n5 17\n30 6\n'
for h in "${HOSTS[@]}"; do
    d=$WORK/tool-$h
    mkdir -p "$d"
    cp "$src/examples/sample.fits" "$WORK/$ref/i16s.fits" "$WORK/$ref/f32.fits" "$d/"
    for job in "sample.fits flattened.fits $(tail -n +3 "$src/examples/sample.txt" | tr '\n' ' ')" \
               "i16s.fits i16s_flat.fits" "f32.fits f32_flat.fits"; do
        set -- $job
        in=$1 out=$2
        shift 2
        if [ $# -gt 0 ]; then
            pts=$(printf '%s %s\n' "$@")
        else
            pts=$POINTS
        fi
        if (cd "$d" && printf '%s\n%s\n%s\n' "$in" "$out" "$pts" \
                | run_prog "$h" flatten > /dev/null 2>&1) && [ -f "$d/$out" ]; then
            passed=$((passed + 1))
        else
            fail "the tool failed on $in on $h"
            continue
        fi
        [ "$h" = "$ref" ] && continue
        if cmp -s "$WORK/tool-$ref/$out" "$d/$out"; then
            passed=$((passed + 1))
        else
            fail "the tool's output $out on $h differs from the one on $ref"
        fi
    done
done

echo "cross-host files (${HOSTS[*]}): $passed passed, $failed failed"
[ "$failed" -eq 0 ]
