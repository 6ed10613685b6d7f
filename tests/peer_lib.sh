# Sourced by the script tests that run peers (astropy, IRAF) from python.
# PY is the python that has the peers; its programs find the tests' own
# modules (peer_checks, flatten_reference) through PYTHONPATH.
PY=/usr/bin/python3
export PYTHONPATH="$SRC_DIR/tests${PYTHONPATH:+:$PYTHONPATH}"

# Set WORK for test NAME to $WORK_DIR (or /tmp/NAME) and make it an empty
# folder; exits with a message when that fails.
peer_workdir() {
    WORK="${WORK_DIR:-/tmp/$1}"
    rm -rf "$WORK"
    mkdir -p "$WORK" || { echo "$1: cannot make $WORK"; exit 1; }
}

# For test NAME: install the test tools when missing (exits with a message
# when that fails), then peer_workdir NAME.
peer_setup() {
    "$SRC_DIR/tools/ensure-test-tools.sh" || { echo "$1: test tools missing"; exit 1; }
    peer_workdir "$1"
}
