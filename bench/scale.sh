#!/usr/bin/env bash
# Memory and time of a warm check at scale: FILES present files (1,000 per folder), one bundle,
# policy ifMissing, a manifest of paths alone. Three programs over the same list in the same run:
#   stat loop      bench/StatLoop.cpp, one stat() per path: the floor
#   library        bench/ScaleDriver.cpp, the library driven directly
#   resource-sync  the program, `sync m.json --dir site --quiet`
# Prints the median wall time and median peak RSS of RUNS runs of each, and bytes per file.
#   bench/scale.sh [FILES] [RUNS]       (default 100000 files, 3 runs)
# SCALE_DIR=folder keeps the generated tree there for later runs (default: a temporary folder).
# Builds build/bench (Release, with the benchmark programs) when needed; SCALE_BUILD=folder runs
# the programs of another build of the same layout as they are (for a before-and-after).
set -euo pipefail
cd "$(dirname "$0")/.."

files="${1:-100000}"
runs="${2:-3}"
build="${SCALE_BUILD:-build/bench}"
if [ -z "${SCALE_BUILD:-}" ] && { [ ! -x "$build/bench/ScaleDriver" ] || [ ! -x "$build/tools/resource-sync/resource-sync" ] ||
    [ -n "$(find src tools bench -newer "$build/bench/ScaleDriver" -name '*.[ch]*' | head -n 1)" ]; }; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDM_BUILD_TESTS=OFF \
        -DRDM_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "$build" >/dev/null
fi
program="$PWD/$build/tools/resource-sync/resource-sync"
driver="$PWD/$build/bench/ScaleDriver"
statloop="$PWD/$build/bench/StatLoop"

if [ -n "${SCALE_DIR:-}" ]; then
    work="$SCALE_DIR/$files"
    mkdir -p "$work"
else
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' EXIT
fi
if [ ! -f "$work/m.json" ]; then
    echo "== generating $files files in $work" >&2
    python3 - "$work" "$files" <<'PY'
import os, sys
work, n = sys.argv[1], int(sys.argv[2])
site = os.path.join(work, "site")
paths = []
for i in range(n):
    d = os.path.join(site, "d%d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(d, exist_ok=True)
    name = "d%d/f%d" % (i // 1000, i % 1000)
    open(os.path.join(site, name), "wb").close()
    paths.append(name)
with open(os.path.join(work, "list"), "w") as f:
    f.write("\n".join(paths) + "\n")
with open(os.path.join(work, "m.json"), "w") as f:
    f.write('{"baseUrl": "http://127.0.0.1:9/", "policy": "ifMissing", "bundles": '
            '[{"name": "all", "files": [' + ", ".join('"%s"' % p for p in paths) + ']}]}\n')
PY
fi

# Median of RUNS runs: "seconds peak-KiB".
measure() {
    local results=()
    for ((i = 0; i < runs; i++)); do
        results+=("$(/usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -n 1)")
    done
    local wall rss
    wall=$(printf '%s\n' "${results[@]}" | awk '{print $1}' | sort -n | sed -n "$(((runs + 1) / 2))p")
    rss=$(printf '%s\n' "${results[@]}" | awk '{print $2}' | sort -n | sed -n "$(((runs + 1) / 2))p")
    echo "$wall $rss"
}

read -r stat_s stat_k < <(measure "$statloop" "$work/list" "$work/site")
read -r lib_s lib_k < <(measure "$driver" "$work/list" "$work/site" "http://127.0.0.1:9/")
read -r sync_s sync_k < <(measure "$program" sync "$work/m.json" --dir "$work/site" --quiet)

printf '| files | program | wall (median of %d) | × stat loop | peak RSS | bytes per file |\n' "$runs"
printf '|---|---|---|---|---|---|\n'
row() {
    awk -v n="$files" -v name="$1" -v s="$2" -v k="$3" -v floor="$stat_s" 'BEGIN {
        printf "| %d | %s | %.2f s | %.2f | %.1f MiB | %.0f |\n", n, name, s, s / floor, k / 1024, k * 1024 / n }'
}
row "stat loop" "$stat_s" "$stat_k"
row "library driven directly" "$lib_s" "$lib_k"
row "resource-sync" "$sync_s" "$sync_k"
