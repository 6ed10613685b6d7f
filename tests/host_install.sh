#!/bin/bash
# The installed library as its users meet it: this build tree is installed
# with `cmake --install --prefix` into a temporary prefix, then
#  - the prefix holds exactly the tool, its man page, both libraries (the
#    shared one as libim.so -> libim.so.MAJOR -> libim.so.MAJOR.MINOR.PATCH),
#    the public headers, imlib.pc and the CMake package: nothing of the test
#    tree, GoogleTest, the fuzz harnesses or the benchmarks;
#  - tests/install/use_imlib.c (writes a FITS image, reads it back) builds
#    and runs with `pkg-config --cflags --libs imlib` against the shared
#    library and with `pkg-config --static` against the static one, and as
#    a CMake project with find_package(imlib) linking imlib::im and
#    imlib::im_static;
#  - the prefix moved elsewhere: pkg-config and find_package give the new
#    place, and the program builds and runs from there.
# Environment: BUILD_DIR, SRC_DIR, WORK_DIR; CC (the C compiler of the
# build); SAN_FLAGS (compile and link flags of a sanitized build, or empty).
set -u
"$SRC_DIR/tools/ensure-test-tools.sh" || { echo "cannot install the test tools"; exit 1; }
SAN_FLAGS=${SAN_FLAGS:-}
rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR"
cd "$WORK_DIR" || exit 1
PROG_SRC=$SRC_DIR/tests/install/use_imlib.c

. "$SRC_DIR/tests/check_lib.sh"
finish() {
    echo "$pass passed, $fail failed"
    [ "$fail" = 0 ]
    exit
}

# ---- Install ------------------------------------------------------------
PREFIX=$WORK_DIR/prefix
if ! cmake --install "$BUILD_DIR" --prefix "$PREFIX" > install.log 2>&1; then
    cat install.log
    echo "FAILED: cmake --install"; fail=$((fail + 1)); finish
fi
pc_file=$(find "$PREFIX" -name imlib.pc)
if [ -z "$pc_file" ]; then
    echo "FAILED: no imlib.pc installed"; fail=$((fail + 1)); finish
fi
LIBDIR_REL=$(dirname "$(dirname "${pc_file#"$PREFIX"/}")")

# ---- What the prefix holds ----------------------------------------------
# Every installed file must be one of these (LIB: the library directory).
allowed_re="^(bin/flatten|share/man/man1/flatten\.1|include/imlib\.h|include/imlib/[a-z_]+\.h"
allowed_re="$allowed_re|LIB/libim\.a|LIB/libim\.so(\.[0-9]+){0,3}|LIB/pkgconfig/imlib\.pc"
allowed_re="$allowed_re|LIB/cmake/imlib/imlib(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake)\$"
allowed_re=${allowed_re//LIB/$LIBDIR_REL}
installed=$(cd "$PREFIX" && find . ! -type d | sed 's|^\./||' | sort)
stray=$(grep -Ev "$allowed_re" <<< "$installed")
check "files installed that a user should not get: $stray" [ -z "$stray" ]
for want in bin/flatten share/man/man1/flatten.1 include/imlib.h include/imlib/export.h \
            include/imlib/map_struct.h include/imlib/rwc_struct.h "$LIBDIR_REL/libim.a" "$LIBDIR_REL/libim.so" \
            "$LIBDIR_REL/cmake/imlib/imlibConfig.cmake" \
            "$LIBDIR_REL/cmake/imlib/imlibConfigVersion.cmake"; do
    check "$want installed" grep -qxF "$want" <<< "$installed"
done

# The shared library's chain of names, and its soname.
LIBDIR=$PREFIX/$LIBDIR_REL
real_so=$(readlink -f "$LIBDIR/libim.so")
soname=$(readelf -d "$real_so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
check "libim.so leads to libim.so.M.m.p (found ${real_so##*/})" \
    grep -Eq '/libim\.so\.[0-9]+\.[0-9]+\.[0-9]+$' <<< "$real_so"
check "soname libim.so.MAJOR (found '$soname')" grep -Eq '^libim\.so\.[0-9]+$' <<< "$soname"
check "the soname is installed as a link" [ -L "$LIBDIR/$soname" ]
check "the soname leads to the library" [ "$(readlink -f "$LIBDIR/$soname")" = "$real_so" ]

# ---- pkg-config ---------------------------------------------------------
# Only the prefix's own imlib.pc is seen.
pc() { PKG_CONFIG_LIBDIR=$1/$LIBDIR_REL/pkgconfig PKG_CONFIG_PATH= pkg-config "${@:2}" imlib; }

# pkg-config's -I and -L of prefix $1 must name $1's include and library
# directories.
check_pc_paths() {
    local prefix=$1 inc lib
    inc=$(pc "$prefix" --cflags-only-I | sed 's/^ *-I//; s/ *$//')
    lib=$(pc "$prefix" --libs-only-L | sed 's/^ *-L//; s/ *$//')
    check "pkg-config -I names $prefix/include (gave '$inc')" \
        [ "$(realpath -m "$inc")" = "$(realpath -m "$prefix/include")" ]
    check "pkg-config -L names $prefix/$LIBDIR_REL (gave '$lib')" \
        [ "$(realpath -m "$lib")" = "$(realpath -m "$prefix/$LIBDIR_REL")" ]
}

# Builds use_imlib with pkg-config from prefix $1 as program $2, linked to
# the shared library ($3 = shared) or the static one ($3 = static), and runs
# it.  With --static the library is named as its archive, so that the link
# takes it rather than the shared library lying beside it; the C++ runtime
# and libm must then come from Libs.private.
build_with_pc() {
    local prefix=$1 prog=$2 kind=$3 libs
    if [ "$kind" = shared ]; then
        libs=$(pc "$prefix" --libs)
    else
        libs=$(pc "$prefix" --static --libs | sed 's/-lim\b/-l:libim.a/')
    fi
    # shellcheck disable=SC2046,SC2086
    if ! "$CC" $SAN_FLAGS -o "$prog" "$PROG_SRC" $(pc "$prefix" --cflags) $libs \
           -Wl,-rpath,"$prefix/$LIBDIR_REL" > "$prog.log" 2>&1; then
        cat "$prog.log"
        check "$prog builds with pkg-config ($kind)" false
        return
    fi
    check "$prog builds with pkg-config ($kind)" true
    if [ "$kind" = shared ]; then
        check "$prog needs libim.so.MAJOR" grep -q "NEEDED.*\[$soname\]" <(readelf -d "$prog")
    else
        check "$prog does not need libim" \
            bash -c "! readelf -d '$prog' | grep -q 'NEEDED.*libim'"
    fi
    check "$prog runs" "./$prog" "$prog.fits"
}

check_pc_paths "$PREFIX"
build_with_pc "$PREFIX" pc_shared shared
build_with_pc "$PREFIX" pc_static static

# ---- find_package -------------------------------------------------------
# Configures, builds and runs the CMake project of tests/install against
# prefix $1 in build directory $2; $3 = ON links imlib::im_static.
build_with_cmake() {
    local prefix=$1 dir=$2 static=$3
    if ! { cmake -S "$SRC_DIR/tests/install" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" \
             -DCMAKE_C_COMPILER="$CC" -DCMAKE_C_FLAGS="$SAN_FLAGS" \
             -DCMAKE_EXE_LINKER_FLAGS="$SAN_FLAGS" -DIMLIB_STATIC="$static" &&
           cmake --build "$dir"; } > "$dir.log" 2>&1; then
        cat "$dir.log"
        check "$dir configures and builds with find_package" false
        return
    fi
    check "$dir configures and builds with find_package" true
    check "$dir found the package in $prefix" grep -q "imlib_DIR:PATH=$prefix/" "$dir/CMakeCache.txt"
    check "$dir/use_imlib runs" "$dir/use_imlib" "$dir.fits"
}

build_with_cmake "$PREFIX" cmake_shared OFF
build_with_cmake "$PREFIX" cmake_static ON

# ---- The prefix moved -----------------------------------------------------
MOVED=$WORK_DIR/elsewhere/moved
mkdir -p "$(dirname "$MOVED")"
mv "$PREFIX" "$MOVED"
check "pkg-config no longer names the old prefix" \
    bash -c "! PKG_CONFIG_LIBDIR='$MOVED/$LIBDIR_REL/pkgconfig' pkg-config --cflags --libs imlib | grep -q '$PREFIX'"
check_pc_paths "$MOVED"
build_with_pc "$MOVED" pc_moved shared
build_with_cmake "$MOVED" cmake_moved OFF

finish
