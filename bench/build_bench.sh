#!/usr/bin/env bash
# Builds benchmark programs for the benchmark scripts: a Release build in build/bench with the
# benchmarks on and the tests and tools off. Prints nothing but errors.
# Usage: bench/build_bench.sh TARGET...   (programs end up in build/bench/bench/)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDM_BUILD_BENCHMARKS=ON \
    -DRDM_BUILD_TESTS=OFF -DRDM_BUILD_TOOLS=OFF >/dev/null
for target in "$@"; do
    cmake --build build/bench --target "$target" >/dev/null
done
