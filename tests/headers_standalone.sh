#!/bin/bash
# Each public header compiles alone, with the include directory as the only
# search path: as C89 and C99 (pedantic, warnings are errors) and as C++17,
# each header in a translation unit of its own and included twice (its
# guard).  Usage: headers_standalone.sh INCLUDE_DIR C_COMPILER CXX_COMPILER
set -u
inc=$1
cc=$2
cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

headers=$(cd "$inc" && find . -name '*.h' | sed 's|^\./||' | sort)
if [ -z "$headers" ]; then
    echo "no header under $inc"
    exit 1
fi
failed=0
n=0
for h in $headers; do
    # A declaration after the header: a header of macros only would leave
    # an empty translation unit, which ISO C forbids.
    printf '#include <%s>\n#include <%s>\ntypedef int header_check_t;\n' "$h" "$h" >"$work/tu.c"
    cp "$work/tu.c" "$work/tu.cpp"
    for std in c89 c99; do
        n=$((n + 1))
        if ! "$cc" -std=$std -Wall -Wextra -pedantic -Werror -fsyntax-only -I"$inc" \
            "$work/tu.c"; then
            echo "FAILED: $h as $std"
            failed=$((failed + 1))
        fi
    done
    n=$((n + 1))
    if ! "$cxx" -std=c++17 -Wall -Wextra -pedantic -Werror -fsyntax-only -I"$inc" \
        "$work/tu.cpp"; then
        echo "FAILED: $h as C++17"
        failed=$((failed + 1))
    fi
done
echo "$n compilations of $(echo "$headers" | wc -w) headers, $failed failed"
[ "$failed" -eq 0 ]
