#!/usr/bin/env bash
# Takes the README's picture of the desktop example: builds the normal variant, runs
# desktop-sync offscreen on the sample manifest, copying from the sample folder at a slow rate,
# and writes the window mid-download and when done to docs/images/desktop-sync.png.
# Usage: scripts/screenshot.sh [OUTPUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."

output="${1:-docs/images/desktop-sync.png}"
scripts/build.sh normal
program=build/normal/examples/desktop-sync/desktop-sync
if [ ! -x "$program" ]; then
    echo "screenshot.sh: $program was not built (Qt5Widgets missing?)" >&2
    exit 1
fi

folder="${TMPDIR:-/tmp}/desktop-sync-sample"
rm -rf "$folder"
mkdir -p "$(dirname "$output")"
# 100 KiB/s per copy: the 300 KiB image takes about three seconds, long enough to be caught
# half-way.
QT_QPA_PLATFORM=offscreen "$program" examples/sample-manifest.json --dir "$folder" \
    --from-dir examples/sample-resources --rate 100 --screenshot "$output"
echo "wrote $output"
