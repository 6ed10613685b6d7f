#!/bin/bash
# Installs what the fuzz runs need, when it is missing: clang and its
# runtime libraries (libFuzzer and the sanitizers).
set -e
need=""
command -v clang++ >/dev/null 2>&1 || need="clang"
echo 'int LLVMFuzzerTestOneInput(const char *d, unsigned long n) { (void)d; return (int)(n & 0); }' \
    > /tmp/fuzz-probe.$$.c
if ! clang -fsanitize=fuzzer -o /tmp/fuzz-probe.$$ /tmp/fuzz-probe.$$.c >/dev/null 2>&1; then
    need="$need libclang-rt-14-dev"
fi
rm -f /tmp/fuzz-probe.$$ /tmp/fuzz-probe.$$.c
if [ -n "$need" ]; then
    echo "installing fuzz tools: $need"
    if [ "$(id -u)" != 0 ]; then
        echo "cannot install $need: not root" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi
