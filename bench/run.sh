#!/bin/sh
# Builds the publishing benchmark and runs it: our FTP client against curl on a local
# pyftpdlib server. Arguments go to bench_publish (for example --rounds 7, --size-mib 64,
# --cases abcd). Needs cmake, g++, Qt 6, python3-pyftpdlib and curl.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_publish -j2
exec "$build/bench/publish/bench_publish" "$@"
