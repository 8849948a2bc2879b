#!/usr/bin/env bash
# The folder the program keeps its settings in: started from a terminal it is the current
# folder; started with --from-menu (as the desktop menu does) it is the home folder, wherever
# the menu happened to start it. The first start creates an empty "Config.txt" there.
# Usage: start_folder_test.sh <kestrelftp>
set -euo pipefail
program=$(realpath "$1")
work=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$work/runtime"

# Starts the program in $2 with HOME=$3 and the options after that, waits for the settings
# file in $1, then ends the program.
start_and_wait_for() {
    local expected=$1 folder=$2 home=$3
    shift 3
    (cd "$folder" && HOME="$home" exec "$program" "$@") >"$work/out.txt" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
        [ -e "$expected" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
    if [ ! -e "$expected" ]; then
        echo "FAIL: $expected was not created (options: $*)"
        cat "$work/out.txt"
        exit 1
    fi
}

mkdir -p "$work/terminal" "$work/menu" "$work/home"
start_and_wait_for "$work/terminal/Config.txt" "$work/terminal" "$work/home"
[ ! -e "$work/home/Config.txt" ] || { echo "FAIL: a terminal start wrote to the home folder"; exit 1; }

start_and_wait_for "$work/home/Config.txt" "$work/menu" "$work/home" --from-menu
[ ! -e "$work/menu/Config.txt" ] || { echo "FAIL: a menu start wrote to the folder it was started in"; exit 1; }
echo "settings in the current folder from a terminal, in the home folder from the menu"
