# Sourced by the script tests: the check counter.  check NAME CMD... runs
# CMD and counts its success in pass; a failure prints "FAILED: NAME" and
# counts in fail.
pass=0
fail=0
check() { # name, then the command that must succeed
    local name=$1; shift
    if "$@"; then pass=$((pass + 1)); else echo "FAILED: $name"; fail=$((fail + 1)); fi
}

# The limits in KiB, 0 up to one past the largest of the files (named in
# $2, in folder $1), that a file-size sweep (ulimit -f) steps through.
kib_limits() {
    local f s largest=0
    for f in $2; do
        s=$(stat -c %s "$1/$f")
        [ "$s" -gt "$largest" ] && largest=$s
    done
    seq 0 $((largest / 1024 + 1))
}

# The files the tool writes for an output of suffix $1 (fits, imh, zzh).
form_files() {
    case $1 in
        fits) echo "out.fits" ;;
        imh) echo "out.imh out.pix" ;;
        zzh) echo "out.zzh out.zzp" ;;
    esac
}
