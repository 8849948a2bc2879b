#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite: a short fuzz run (about
# a minute in all: every target on its seed corpus for 8 seconds), then CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
fuzz/build.sh
fuzz/run.sh 8
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2 --timeout 600
