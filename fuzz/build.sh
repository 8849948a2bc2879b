#!/bin/sh
# Builds the fuzz targets with clang's libFuzzer, address and undefined-behaviour
# sanitizers, straight from the sources (not through the CMake build).
# Usage: fuzz/build.sh [output folder, default fuzz/bin]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../src"
out=${1:-"$here/bin"}
cxx=${CXX:-clang++-14}
flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -Wall -Wextra -I$src"
mkdir -p "$out"

build() {
    target=$1
    shift
    echo "building $target"
    # shellcheck disable=SC2086
    "$cxx" $flags "$here/$target.cpp" "$@" -o "$out/$target"
}

build fuzz_listing "$src/net/ftp/ftplist.cpp"
build fuzz_bytes_total "$src/net/ftp/ftpreply.cpp"
build fuzz_quoted_dir "$src/net/ftp/ftpreply.cpp"
build fuzz_nthword "$src/net/sock/sockstr.cpp" "$src/base/streams.cpp" "$src/base/exception.cpp"
# Every source of base, which the settings files are read and written through.
build fuzz_config "$src/app/config.cpp" "$src"/base/*.cpp
# The reply reader runs the whole client over a loopback connection.
# Every source of the layers it runs, so that a new file of theirs is never missed.
build fuzz_reply "$src"/net/ftp/*.cpp "$src"/net/sock/*.cpp "$src"/platform/*.cpp \
    "$src"/base/*.cpp \
    -lssl -lcrypto -lpthread
# The animation reader uses Qt's image and byte array types.
# shellcheck disable=SC2046
build fuzz_avi "$src/app/avi.cpp" "$src/base/exception.cpp" -fPIC \
    $(pkg-config --cflags --libs Qt6Gui Qt6Core)
