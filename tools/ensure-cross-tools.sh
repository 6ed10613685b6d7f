#!/bin/bash
# Installs what the cross-host runs need, when it is missing: Debian's cross
# compilers for each target named (s390x-linux-gnu, i686-linux-gnu,
# arm-linux-gnueabihf, aarch64-linux-gnu), qemu-user for the targets this
# machine cannot run itself, and the GoogleTest sources that the cross
# builds compile.  Then checks that a program of each target really starts
# (aarch64, built but not run by make test, need only link).
# Usage: tools/ensure-cross-tools.sh TARGET...
set -e
need=""
for t in "$@"; do
    case "$t" in
    s390x-linux-gnu)      pkg=g++-s390x-linux-gnu;      emu=qemu-s390x ;;
    i686-linux-gnu)       pkg=g++-i686-linux-gnu;       emu="" ;;
    arm-linux-gnueabihf)  pkg=g++-arm-linux-gnueabihf;  emu=qemu-arm ;;
    aarch64-linux-gnu)    pkg=g++-aarch64-linux-gnu;    emu="" ;;
    *) echo "ensure-cross-tools: unknown target $t" >&2; exit 2 ;;
    esac
    command -v "$t-g++" >/dev/null 2>&1 || need="$need $pkg"
    if [ -n "$emu" ] && ! command -v "$emu" >/dev/null 2>&1; then
        need="$need qemu-user"
    fi
done
[ -f /usr/src/googletest/googletest/CMakeLists.txt ] || need="$need googletest"
need=$(echo $need | tr ' ' '\n' | sort -u | tr '\n' ' ')
if [ -n "${need// /}" ]; then
    echo "installing cross-build tools: $need"
    if [ "$(id -u)" != 0 ]; then
        echo "cannot install $need: not root" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi

# A trivial program of each target must run as the test builds run theirs.
probe=$(mktemp -d /tmp/cross-probe.XXXXXX)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return 0; }\n' > "$probe/p.c"
for t in "$@"; do
    case "$t" in
    s390x-linux-gnu)     run="qemu-s390x -L /usr/s390x-linux-gnu" ;;
    i686-linux-gnu)      run="/usr/i686-linux-gnu/lib/ld-linux.so.2 --library-path /usr/i686-linux-gnu/lib" ;;
    arm-linux-gnueabihf) run="qemu-arm -L /usr/arm-linux-gnueabihf" ;;
    aarch64-linux-gnu)   run="" ;;
    esac
    "$t-gcc" -o "$probe/p-$t" "$probe/p.c"
    if [ -n "$run" ] && ! $run "$probe/p-$t"; then
        echo "ensure-cross-tools: a $t program does not run here ($run)" >&2
        exit 1
    fi
done
