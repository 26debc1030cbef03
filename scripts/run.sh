#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and resource-sync, and syncs the
# sample manifest (examples/sample-manifest.json) from the sample folder shipped with the sources
# into build/sample-output; nothing needs to be started. With arguments, runs resource-sync with
# them instead: scripts/run.sh --help, scripts/run.sh sync MANIFEST --dir DIR, ...
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRDM_BUILD_TESTS=OFF >/dev/null
cmake --build build/app >/dev/null
program=build/app/tools/resource-sync/resource-sync
if [ $# -gt 0 ]; then
    exec "$program" "$@"
fi
# 2560 KiB/s paces the copies so that the progress bars can be seen.
exec "$program" sync examples/sample-manifest.json --dir build/sample-output \
    --from-dir examples/sample-resources --rate 2560
