#!/usr/bin/env bash
# Validates the AppStream metadata offline. One warning is accepted: the component id is the
# program's name, matching its menu entry kestrelftp.desktop, rather than a reverse domain
# name, as the project has no domain of its own. Any other warning or error fails.
# Usage: check_metainfo.sh <file.metainfo.xml>
set -uo pipefail
output=$(appstreamcli validate --no-net "$1" 2>&1)
echo "$output"
if grep -E '^(E|W):' <<<"$output" | grep -v 'cid-desktopapp-is-not-rdns'; then
    echo "FAIL: unexpected findings above"
    exit 1
fi
