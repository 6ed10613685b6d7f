#!/bin/bash
# Installs the independent peers the test suite compares against, when they
# are missing: astropy and numpy for Debian's python3, and fitsverify; and
# pkg-config, with which the install test builds a program as users do;
# GNU time, with which the bench (and its test) takes each run's peak memory;
# matplotlib, with which examples/show_flatten.py draws images (the demo and
# its test).
set -e
need=""
/usr/bin/python3 -c "import astropy, numpy" 2>/dev/null || need="$need python3-astropy python3-numpy"
/usr/bin/python3 -c "import matplotlib" 2>/dev/null || need="$need python3-matplotlib"
command -v fitsverify >/dev/null 2>&1 || need="$need fitsverify"
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
[ -x /usr/bin/time ] || need="$need time"
if [ -n "$need" ]; then
    echo "installing test tools:$need"
    if [ "$(id -u)" != 0 ]; then
        echo "cannot install$need: not root" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
