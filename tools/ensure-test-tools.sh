#!/bin/bash
# Installs the independent peers the test suite compares against, when they
# are missing: astropy and numpy for Debian's python3, and fitsverify; and
# pkg-config, with which the install test builds a program as users do;
# GNU time, with which the bench (and its test) takes each run's peak memory;
# GNU parallel, which the many-images test runs the tool under, and Slurm's
# controller, node daemon and commands with munge, from which that test
# starts a single-node cluster of its own (without the recommended plugins);
# matplotlib, with which examples/show_flatten.py draws images (the demo and
# its test).
set -e
need=""
/usr/bin/python3 -c "import astropy, numpy" 2>/dev/null || need="$need python3-astropy python3-numpy"
/usr/bin/python3 -c "import matplotlib" 2>/dev/null || need="$need python3-matplotlib"
command -v fitsverify >/dev/null 2>&1 || need="$need fitsverify"
command -v pkg-config >/dev/null 2>&1 || need="$need pkg-config"
[ -x /usr/bin/time ] || need="$need time"
command -v parallel >/dev/null 2>&1 || need="$need parallel"
lean=""
for t in slurmctld:slurmctld slurmd:slurmd sbatch:slurm-client munged:munge; do
    command -v "${t%%:*}" >/dev/null 2>&1 || [ -x "/usr/sbin/${t%%:*}" ] || lean="$lean ${t#*:}"
done
if [ -n "$need$lean" ]; then
    echo "installing test tools:$need$lean"
    if [ "$(id -u)" != 0 ]; then
        echo "cannot install$need$lean: not root" >&2
        exit 1
    fi
    apt-get update -qq
    [ -z "$need" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
    [ -z "$lean" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $lean >/dev/null
fi
