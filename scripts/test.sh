#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2 --timeout 600
# A short fuzz run, about a minute in all: every target on its seed corpus for 8 seconds.
fuzz/build.sh
fuzz/run.sh 8
