#!/usr/bin/env bash
# Builds the Debian package kestrelftp_<version>_amd64.deb with CPack and prints its path on
# the last line. The version is the one set by project() in CMakeLists.txt; the dependencies
# are the shared libraries the program links against (dpkg-shlibdeps); the program is stripped.
#
#   scripts/package.sh                      # release build of its own in build-pkg/
#   scripts/package.sh --build-dir build    # from a build folder that is already configured
#
# Install it with `dpkg -i` (or `apt install ./kestrelftp_<version>_amd64.deb`).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=""
while [ $# -gt 0 ]; do
    case $1 in
        --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
        -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "package.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done

if [ -z "$build_dir" ]; then
    # Our own build: only the program and its files, with Debian's hardening flags.
    build_dir=build-pkg
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_GUI=ON \
        -DKESTREL_INSTALL=ON \
        "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >/dev/null
elif [ ! -f "$build_dir/CPackConfig.cmake" ]; then
    echo "package.sh: $build_dir is not a configured build folder with the install rules" >&2
    exit 2
fi

cmake --build "$build_dir" -j"$(nproc)"
# CPack installs into a staging folder and packs it; the package lands in the build folder.
rm -f "$build_dir"/kestrelftp_*.deb
(cd "$build_dir" && cpack -G DEB) >"$build_dir/cpack.log" 2>&1 || {
    cat "$build_dir/cpack.log" >&2
    exit 1
}
package=$(ls "$build_dir"/kestrelftp_*.deb)
echo "$package"
