#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite: the Debian package check
# (built from build/, linted, and as root installed, run and removed again), a short fuzz
# run (about a minute in all: every target on its seed corpus for 8 seconds), then CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check_package.sh "${BUILD_DIR:-build}"
fuzz/build.sh
fuzz/run.sh 8
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j2 --timeout 600
