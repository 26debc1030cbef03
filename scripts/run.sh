#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the example host, and runs the
# host on the sample folder shipped with the sources (or over HTTP: scripts/run.sh BASE_URL).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRDM_BUILD_TESTS=OFF >/dev/null
cmake --build build/app
out="build/demo-output"
exec build/app/examples/resource_demo "$out" "$@"
