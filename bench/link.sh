#!/bin/sh
# Builds the delayed-link benchmark and runs it: our publisher against lftp's reverse mirror
# and curl, on pyftpdlib and vsftpd behind a proxy that delays every byte by half a round
# trip. Arguments go to bench_link (for example --rounds 3 --files 200,1000 --rtt 20,60
# --servers v). As root it installs the peers it compares with (lftp, curl, pyftpdlib,
# vsftpd) when they are missing; the vsftpd half needs root (it creates a local user).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTREL_BENCH_BUILD:-$root/build-bench}
missing=""
for p in lftp curl python3-pyftpdlib vsftpd; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ] && [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target bench_link -j2
exec "$build/bench/link/bench_link" "$@"
