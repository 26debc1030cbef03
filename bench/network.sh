#!/usr/bin/env bash
# The network rows of the race: resource-sync against curl and against itself over the shared
# peer harness's private nginx on 127.0.0.1 (serve.sh from shared/bench/peers beside the checkout):
#   - warm IfModified, 2,000 files all changed on the server (the local copies are older and
#     differ): resource-sync against curl -z per file, --parallel (and with --no-fsync, as durable
#     as curl);
#   - 1 GiB cut at 50 %, then rerun: the bytes nginx sent on the rerun, as a share of the file;
#   - cold 2,000 x 4 KiB with the flush to disk (the default) against the same run with --no-fsync,
#     and against the file system's floor for it (bench/DurableCopyFloor.cpp: the same files copied
#     locally with the same durable steps).
# TMPDIR decides the file system the downloads land on (the peers' harness too).
# The warm IfModified row with nothing changed and the cold rows are race.sh's. Writes
# bench/results/network-<date>-<time>.md and prints it. Not part of CI: it takes a few minutes and
# should have the machine to itself; compare ratios within one run only.
#
# Usage: bench/network.sh [--runs N] [--jobs N] [--site DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

source "$root/bench/peers_dir.sh"
runs=5 jobs=8 site=$root/build/race-site
while [[ $# -gt 0 ]]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --site) site=$2; shift 2 ;;
        -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
        *) echo "network.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
[[ -n $peers_dir ]] || { echo "network.sh: no peer harness found (set PEERS_DIR)" >&2; exit 1; }

scripts/deps.sh bench
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDM_BUILD_TESTS=OFF \
    -DRDM_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release >/dev/null
sync_bin=$root/build/release/tools/resource-sync/resource-sync

stamp=$(date +%Y-%m-%d-%H%M%S)
results=$root/bench/results
mkdir -p "$results" "$site"
work=$(mktemp -d -t rdm-network.XXXXXX)
run_dir=""
cleanup() {
    set +e
    [[ -n $run_dir ]] && "$peers_dir/serve.sh" stop "$run_dir" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

eval "$("$peers_dir/serve.sh" start "$site")"
run_dir=$RUN_DIR
log=$RUN_DIR/access.log
q() { printf '%q' "$1"; }

small=$SITE_DIR/small
"$sync_bin" manifest "$small" --base-url "${BASE_URL}small/" --policy ifModified --paths-only \
    >"$work/small.json"
"$sync_bin" manifest "$SITE_DIR/big" --base-url "${BASE_URL}big/" --policy always --paths-only \
    >"$work/big.json"

# Local copies that are older than the server's and differ from them: every file has changed.
stale=$work/stale
mkdir -p "$stale"
for f in "$small"/*; do
    head -c 4096 /dev/zero >"$stale/$(basename "$f")"
done
touch -d 2000-01-01T00:00:00Z "$stale"/*
: >"$work/curl-z.cfg"
for f in "$small"/*; do
    name=$(basename "$f")
    printf 'url = "%s"\noutput = "%s"\ntime-cond = "%s"\n' "${BASE_URL}small/$name" \
        "$work/out/$name" "$work/out/$name" >>"$work/curl-z.cfg"
done
hyperfine --style basic --shell=bash --warmup 1 --runs "$runs" --export-json "$work/changed.json" \
    --prepare "rm -rf $(q "$work/out") && cp -a $(q "$stale") $(q "$work/out") && sync" \
    -n curl-z-par8 "curl --no-progress-meter --fail --parallel --parallel-max 8 -K $(q "$work/curl-z.cfg")" \
    -n resource-sync "$(q "$sync_bin") sync $(q "$work/small.json") --dir $(q "$work/out") --jobs $jobs --quiet" \
    -n resource-sync-no-fsync "$(q "$sync_bin") sync $(q "$work/small.json") --dir $(q "$work/out") --jobs $jobs --quiet --no-fsync" >&2

# Cold small with and without the flush to disk, and the file system's floor for the flush: the
# same files copied from the site's folder with the same durable steps and nothing else.
floor_bin=$root/build/release/bench/DurableCopyFloor
hyperfine --style basic --shell=bash --warmup 1 --runs "$runs" --export-json "$work/flush.json" \
    --prepare "rm -rf $(q "$work/out") && sync" \
    -n floor:durable-copy "$(q "$floor_bin") $(q "$small") $(q "$work/out") $jobs" \
    -n resource-sync-fsync "$(q "$sync_bin") sync $(q "$work/small.json") --dir $(q "$work/out") --jobs $jobs --quiet" \
    -n resource-sync-no-fsync "$(q "$sync_bin") sync $(q "$work/small.json") --dir $(q "$work/out") --jobs $jobs --quiet --no-fsync" >&2

# 1 GiB cut at half way, then rerun: what the server sends the second time.
rm -rf "$work/big-out"
size=$(stat -c %s "$SITE_DIR/big/big.bin")
"$sync_bin" sync "$work/big.json" --dir "$work/big-out" --quiet --rate 262144 &
pid=$!
part_size() { stat -c %s "$work"/big-out/big.bin.resource-sync-*.part 2>/dev/null | head -1 || echo 0; }
for _ in $(seq 1 600); do
    (($(part_size || echo 0) >= size / 2)) && break
    sleep 0.1
done
kill -INT "$pid"
wait "$pid" || true
cut=$(stat -c %s "$work"/big-out/big.bin.resource-sync-*.part 2>/dev/null | head -1 || echo 0)
lines_before=$(wc -l <"$log")
"$sync_bin" sync "$work/big.json" --dir "$work/big-out" --quiet
cmp -s "$SITE_DIR/big/big.bin" "$work/big-out/big.bin" || { echo "network.sh: the resumed file differs" >&2; exit 1; }
resent=$(tail -n +"$((lines_before + 1))" "$log" | awk '$4 ~ /big.bin/ { sum += $6 } END { print sum + 0 }')

python3 - "$work/changed.json" "$work/flush.json" "$size" "$cut" "$resent" "$stamp" "$(fs_of "$work")" \
    >"$results/network-$stamp.md" <<'PY'
import json, sys
changed, flush = (json.load(open(p))["results"] for p in sys.argv[1:3])
size, cut, resent, stamp = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
med = lambda rs, name: next(r["median"] for r in rs if r["command"] == name)
fmt = lambda s: f"{s * 1000:.1f} ms" if s < 1 else f"{s:.3f} s"
print(f"# Network rows ({stamp})\n\n- downloads land on: {sys.argv[7]}\n")
print("| row | against | ours | ratio | target | met |\n|---|---:|---:|---:|---:|---|")
c, o = med(changed, "curl-z-par8"), med(changed, "resource-sync")
print(f"| warm IfModified 2,000, all changed | curl -z per file, --parallel {fmt(c)} | {fmt(o)} | {o / c:.2f} | ≤ 1.0 | {'yes' if o <= c else 'NO'} |")
u = med(changed, "resource-sync-no-fsync")
print(f"| warm IfModified 2,000, all changed, --no-fsync | curl -z per file, --parallel {fmt(c)} | {fmt(u)} | {u / c:.2f} | report | - |")
share = resent / size
print(f"| 1 GiB cut at {cut / size:.0%}, then rerun | file {size:,} B | sent on the rerun {resent:,} B | {share:.1%} | ≤ 52 % | {'yes' if share <= 0.52 else 'NO'} |")
f, n = med(flush, "resource-sync-fsync"), med(flush, "resource-sync-no-fsync")
print(f"| cold 2,000 × 4 KiB with the flush to disk | same run with --no-fsync {fmt(n)} | {fmt(f)} | {f / n:.2f} | report | - |")
d = med(flush, "floor:durable-copy")
print(f"| cold 2,000 × 4 KiB with the flush to disk | durable local copy (write, fdatasync, rename, folder fsync) {fmt(d)} | {fmt(f)} | {f / d:.2f} | report | - |")
PY
cat "$results/network-$stamp.md"
