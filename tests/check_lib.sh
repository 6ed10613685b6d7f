# Sourced by the script tests: the check counter.  check NAME CMD... runs
# CMD and counts its success in pass; a failure prints "FAILED: NAME" and
# counts in fail.
pass=0
fail=0
check() { # name, then the command that must succeed
    local name=$1; shift
    if "$@"; then pass=$((pass + 1)); else echo "FAILED: $name"; fail=$((fail + 1)); fi
}
