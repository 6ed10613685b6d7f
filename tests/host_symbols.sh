#!/bin/bash
# The shared library exports exactly the names its public headers declare
# with IM_API: `nm -D --defined-only` must list each of them and nothing
# else, so that no internal routine or variable (the current descriptor
# among them) can clash with a caller's names or be reached by a caller.
# The expected names are read from the headers (every declaration carrying
# IM_API in include/imlib.h and include/imlib/*.h), not from a copy.
# Nothing else is allowed: the library's version script makes local what
# hidden visibility leaves (instruction-set resolvers, standard templates
# instantiated here), and with it neither the linker nor the sanitizers
# add exported names of their own (g++ 12, plain and ASan/UBSan builds).
# Usage: host_symbols.sh LIBRARY INCLUDE_DIR
set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 LIBRARY INCLUDE_DIR" >&2
    exit 2
fi
LIB=$1
INC=$2

# Declared names: comments and preprocessor lines removed, the text cut
# into declarations at ';', '{' and '}'; in each one that carries IM_API
# the name is the identifier before the first '(' (a routine) or the last
# identifier (a variable).
declared=$(cat "$INC/imlib.h" "$INC"/imlib/*.h |
    perl -0777 -ne '
        s{/\*.*?\*/}{ }gs;            # block comments
        s{//[^\n]*}{}g;               # line comments
        s{\\\n}{ }g;                  # continued lines
        s{^[ \t]*#[^\n]*}{}mg;        # preprocessor lines
        for my $decl (split /[;{}]/) {
            next unless $decl =~ /\bIM_API\b/;
            if ($decl =~ /([A-Za-z_]\w*)\s*\(/) { print "$1\n"; }
            elsif ($decl =~ /([A-Za-z_]\w*)\s*(\[[^\]]*\]\s*)*$/) { print "$1\n"; }
        }' | sort -u)
if [ -z "$declared" ]; then
    echo "FAILED: no declaration marked IM_API found under $INC"
    exit 1
fi

# Exported names (a version suffix such as @@V1 dropped).
if ! exported=$(nm -D --defined-only --format=posix "$LIB"); then
    echo "FAILED: nm cannot read $LIB"
    exit 1
fi
exported=$(awk '{ sub(/@.*/, "", $1); print $1 }' <<< "$exported" | sort -u)

pass=0
fail=0
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
if [ -z "$missing" ]; then
    pass=$((pass + 1))
else
    echo "FAILED: declared with IM_API but not exported:" $missing
    fail=$((fail + 1))
fi
if [ -z "$extra" ]; then
    pass=$((pass + 1))
else
    echo "FAILED: exported but not declared with IM_API:" $extra
    fail=$((fail + 1))
fi
echo "$(wc -l <<< "$declared") public names declared, $(wc -l <<< "$exported") exported"
echo "$pass passed, $fail failed"
[ "$fail" = 0 ]
