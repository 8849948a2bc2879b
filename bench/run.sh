#!/bin/sh
# Builds the publishing benchmark and runs it: our FTP client against curl on two local
# servers, pyftpdlib and vsftpd. Arguments go to bench_publish (for example --rounds 7,
# --size-mib 64, --cases abcd, --servers p). Needs cmake, g++, Qt 6, python3-pyftpdlib and
# curl; the vsftpd half needs the vsftpd package and root (it creates a local user), and is
# left out with a message otherwise; its TLS case (t) makes a certificate with openssl.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_publish bench_site -j2
exec "$build/bench/publish/bench_publish" "$@"
