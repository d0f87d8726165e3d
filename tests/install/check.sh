#!/bin/sh
# Installs the build tree into a scratch prefix and builds a C and a C++
# program against it, once through pkg-config and once through find_package.
# Usage: check.sh <cmake> <build-dir> <work-dir> <cc> <c++> [flags]
# (flags go to every compile and link, e.g. the build's sanitizer options)
set -eu
cmake=$1 build=$2 work=$3 cc=$4 cxx=$5 flags=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"
for f in include/cgi/cgi.h lib/libostrel.a lib/pkgconfig/ostrel.pc \
    lib/cmake/ostrel/ostrelConfig.cmake lib/cmake/ostrel/ostrelConfigVersion.cmake \
    lib/cmake/ostrel/ostrelTargets.cmake libexec/cgi-bin/faxupload.cgi; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
[ -x "$prefix/libexec/cgi-bin/faxupload.cgi" ] || { echo "faxupload.cgi not executable"; exit 1; }
for f in share/man/man3/ostrel.3 share/man/man3/cgi_read_request.3 share/man/man8/faxupload.cgi.8; do
    [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

run() {
    out=$("$1") || { echo "$1 failed"; exit 1; }
    [ "$out" = "$2" ] || { echo "$1 printed '$out'"; exit 1; }
    echo "$1: $out"
}

# pkg-config, seeing only the installed tree's ostrel.pc.  The C program is
# linked by the C driver: no C++ runtime comes along unless ostrel.pc asks.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
cflags=$(pkg-config --cflags ostrel)
libs=$(pkg-config --libs ostrel)
echo "pkg-config: $cflags $libs"
# shellcheck disable=SC2086 # flag lists
$cc $flags $cflags -o "$work/pc_c" "$here/consumer.c" $libs
# shellcheck disable=SC2086
$cxx $flags $cflags -o "$work/pc_cpp" "$here/consumer.cpp" $libs
run "$work/pc_c" "c consumer ok"
run "$work/pc_cpp" "c++ consumer ok"

# find_package(ostrel) and the imported target ostrel::ostrel.
"$cmake" -S "$here" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    >"$work/consumer.log"
"$cmake" --build "$work/consumer" >>"$work/consumer.log" || { cat "$work/consumer.log"; exit 1; }
run "$work/consumer/consumer_c" "c consumer ok"
run "$work/consumer/consumer_cpp" "c++ consumer ok"
