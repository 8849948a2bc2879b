#!/bin/sh
# Runs every fuzz target for the given number of seconds each (default 10), on a
# scratch copy of its committed seed corpus so that the committed seeds stay small.
# Builds the targets first when they are missing. A crash stops the run and leaves
# the crashing input in fuzz/artifacts/.
# Each input gets at most 10 seconds (a hang is a finding). FUZZ_TARGETS picks targets.
# Usage: [FUZZ_TARGETS="fuzz_reply ..."] fuzz/run.sh [seconds]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-10}
bin="$here/bin"
targets=${FUZZ_TARGETS:-"fuzz_listing fuzz_bytes_total fuzz_quoted_dir fuzz_nthword fuzz_config
         fuzz_reply fuzz_avi"}

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
    "$bin/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$here/artifacts/$target-" "$work/$target" >"$work/$target.log" 2>&1 ||
        status=$?
    tail -n 12 "$work/$target.log"
    if [ "$status" -ne 0 ]; then
        echo "$target failed (exit $status); see fuzz/artifacts/" >&2
        exit "$status"
    fi
done
