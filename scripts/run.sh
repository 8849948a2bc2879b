#!/usr/bin/env bash
# Installs what is needed, builds, and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "The window is not built yet."
