#!/usr/bin/env bash
# Installs the Debian packages the project needs and builds it into build/.
# Run as root or with sudo available. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang-14, its runtime libraries and pkgconf build the fuzz targets (libFuzzer, sanitizers).
# iproute2 and nftables build the network namespaces and the address translation of the
# passive-mode test.
packages=(cmake g++ make qt6-base-dev libgtest-dev python3-pyftpdlib curl xvfb xauth clang-14
          libclang-rt-14-dev pkgconf iproute2 nftables)
# The Debian package and its checks: the icon renderer (Qt SVG), dpkg-shlibdeps, lintian, and
# the validators of the menu entry, the AppStream metadata and the manual page.
packages+=(qt6-svg-dev dpkg-dev lintian desktop-file-utils appstream man-db)
# Encrypted connections and the publishing manifest's SHA-256: OpenSSL to build against, and
# pyftpdlib's TLS handler for the tests.
packages+=(libssl-dev python3-openssl)
# A second real server for the tests and benchmarks (Debian's vsftpd, run by the tests as
# root on a loopback port; they skip without it), and git, whose check-ignore the ignore
# rules are compared with.
packages+=(vsftpd git)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
