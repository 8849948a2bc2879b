#!/usr/bin/env bash
# Formats the manual page the way man does and fails on any warning from groff.
# Usage: check_manual_page.sh <page.1>
set -euo pipefail
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "$warnings"
    exit 1
fi
echo "manual page formats without warnings"
