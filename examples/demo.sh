#!/bin/bash
# demo.sh: run flatten on the bundled sample image.
#   examples/demo.sh path/to/flatten
# A tool built for another host runs under the command prefix given in
# the environment variable FLATTEN_RUNNER (an emulator such as
# "qemu-s390x -L /usr/s390x-linux-gnu").
# Writes build/demo/flattened.fits (next to a copy of the sample), draws
# the input, the output and the plane removed side by side into
# build/demo/flatten_demo.png (examples/show_flatten.py; skipped with a
# note when Debian's python3-matplotlib or python3-astropy is missing) and
# says how to look at them.  Exit status: that of the tool's run, or 1 when
# drawing the picture failed.
set -u
bin=${1:?usage: $0 path/to/flatten}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
if [ ! -x "$bin" ]; then
    echo "demo: no flatten program at $bin (build it first: make build)" >&2
    exit 1
fi
out=$top/build/demo
mkdir -p "$out"
cp "$here/sample.fits" "$here/sample.txt" "$out/"
rm -f "$out/flattened.fits" "$out/flatten_demo.png"

echo "flatten demo: fitting the sky plane of sample.fits at 12 reference points"
echo "standard input ($here/sample.txt):"
sed 's/^/    /' "$here/sample.txt"
echo

# Draw the run (input, output, plane removed) as build/demo/flatten_demo.png.
# Returns 0 when drawn or when the python modules are missing (a note says
# how to get them), 1 when drawing failed.
draw() {
    local py=/usr/bin/python3
    if ! "$py" -c "import matplotlib, astropy" 2>/dev/null; then
        echo "The picture is skipped: it needs Debian's python3-matplotlib and python3-astropy"
        echo "(as root: tools/ensure-test-tools.sh installs them)."
        return 0
    fi
    if ! "$py" "$here/show_flatten.py" --job sample.txt -o flatten_demo.png; then
        echo "demo: drawing the picture failed" >&2
        return 1
    fi
    echo "The picture: $out/flatten_demo.png (input, flattened output, plane removed), drawn by"
    echo "    /usr/bin/python3 $here/show_flatten.py --job sample.txt -o flatten_demo.png"
    return 0
}

cd "$out"
${FLATTEN_RUNNER:-} "$bin" -3 < sample.txt 2> run.log
status=$?
if [ $status -eq 0 ] && [ -f flattened.fits ]; then
    sed 's/^/    /' run.log
    echo
    echo "Done: the flattened image is $out/flattened.fits"
    echo "Look at it with, for example:"
    echo "    /usr/bin/python3 -c \"from astropy.io import fits; h=fits.open('$out/flattened.fits'); print(repr(h[0].header)); print(h[0].data)\""
    echo "    fitsverify $out/flattened.fits"
    echo "    ds9 $out/flattened.fits     (or any FITS viewer)"
    echo "The sky plane is gone: the background is near 0 and the five stars remain."
    echo
    draw
    exit $?
fi

echo "The real run failed (status $status); what the tool said:"
sed 's/^/    /' run.log
echo
echo "The image library could not open, read or write the image yet."
echo "Here is how the tool interprets the sample's standard input (debug level 13):"
${FLATTEN_RUNNER:-} "$bin" -13 < sample.txt
echo13=$?
echo "(debug-13 echo ended with status $echo13)"
exit $status
