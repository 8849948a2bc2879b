#!/bin/sh
# Runs every fuzz target for the given number of seconds each (default 10), on a
# scratch copy of its committed seed corpus so that the committed seeds stay small.
# Builds the targets first when they are missing. A crash stops the run and leaves
# the crashing input in fuzz/artifacts/.
# Usage: fuzz/run.sh [seconds]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-10}
bin="$here/bin"
targets="fuzz_listing fuzz_bytes_total fuzz_quoted_dir fuzz_nthword"

for target in $targets; do
    if [ ! -x "$bin/$target" ]; then
        "$here/build.sh" "$bin"
        break
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$here/artifacts"
for target in $targets; do
    mkdir -p "$work/$target"
    cp "$here/corpus/$target"/* "$work/$target"/ 2>/dev/null || true
    echo "== $target for ${seconds}s"
    status=0
    "$bin/$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$here/artifacts/$target-" "$work/$target" >"$work/$target.log" 2>&1 ||
        status=$?
    tail -n 12 "$work/$target.log"
    if [ "$status" -ne 0 ]; then
        echo "$target failed (exit $status); see fuzz/artifacts/" >&2
        exit "$status"
    fi
done
