#!/bin/bash
# End-to-end check of the flatten tool: inputs of BITPIX 8, 16, 32 and -32
# (and one subimage) are flattened by the tool and recomputed independently
# with numpy/astropy; every output pixel, the scaling keywords, DATAMAX and
# DATAMIN, the HISTORY card and fitsverify's verdict are checked.
# Environment: FLATTEN (the tool), SRC_DIR (source tree), WORK_DIR (scratch).
set -u
: "${FLATTEN:?FLATTEN must name the flatten program}"
: "${SRC_DIR:?SRC_DIR must name the source tree}"
WORK_DIR=${WORK_DIR:-$(mktemp -d)}

"$SRC_DIR/tools/ensure-test-tools.sh" || { echo "test tools unavailable"; exit 1; }
mkdir -p "$WORK_DIR" || exit 1
exec /usr/bin/python3 "$SRC_DIR/tests/flatten_reference.py" "$FLATTEN" "$WORK_DIR"
