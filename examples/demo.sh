#!/bin/bash
# demo.sh: run flatten on the bundled sample image.
#   examples/demo.sh path/to/flatten
# A tool built for another host runs under the command prefix given in
# the environment variable FLATTEN_RUNNER (an emulator such as
# "qemu-s390x -L /usr/s390x-linux-gnu").
# Writes build/demo/flattened.fits (next to a copy of the sample) and says
# how to look at it.  Exit status: that of the tool's run.
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
rm -f "$out/flattened.fits"

echo "flatten demo: fitting the sky plane of sample.fits at 12 reference points"
echo "standard input ($here/sample.txt):"
sed 's/^/    /' "$here/sample.txt"
echo

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
    exit 0
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
