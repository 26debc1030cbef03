#!/usr/bin/env bash
# The download race: resource-sync against curl, wget and aria2c over a private nginx on 127.0.0.1,
# through the shared peer harness (shared/bench/peers/peers.sh beside the project's checkout: it
# generates the site, runs every tool under hyperfine and probes each once under GNU time and the
# nginx access log; a copy of it runs in a temporary folder, so that its results land there and
# not in the shared folder), plus a cold run of the small set over HTTPS with HTTP/2 (nginx's TLS
# port with a certificate from a private CA made for the race; every tool trusts that CA), plus two
# rows of our own (each cold set also runs resource-sync with --no-fsync, as durable as the peers,
# which flush nothing to disk):
#   - warm IfMissing check of 100,000 files in one bundle against a plain stat loop over them;
#   - registering 100,000 descriptors in 1,000 bundles (Google Benchmark, SchedulerBench).
# It writes the comparison table (ours / best peer, with the targets) to
# bench/results/race-<date>-<time>.md and prints it. Not part of CI: a full run takes 15-30 minutes
# and should have the machine to itself; compare ratios within one run, never absolute times across
# runs. The manifests list the files by their paths alone (`manifest --paths-only`), as the peers
# get plain lists of URLs: no sizes, no digests.
#
# Usage: bench/race.sh [--runs N] [--warmup N] [--sets small,medium,big] [--modes cold,warm]
#                      [--jobs N] [--site DIR] [--no-100k] [--no-register]
#   --site DIR   where the generated site is kept between runs (default build/race-site; the 1 GiB
#                file takes a while to generate the first time)
# PEERS_DIR overrides where the peer harness is found. TMPDIR decides the file system the
# downloads land on; the table names it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

source "$root/bench/peers_dir.sh"
runs=5 warmup=1 sets=small,medium,big modes=cold,warm jobs=8 site=$root/build/race-site
big_row=1 register_row=1
while [[ $# -gt 0 ]]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --warmup) warmup=$2; shift 2 ;;
        --sets) sets=$2; shift 2 ;;
        --modes) modes=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --site) site=$2; shift 2 ;;
        --no-100k) big_row=0; shift ;;
        --no-register) register_row=0; shift ;;
        -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
        *) echo "race.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
[[ -n $peers_dir && -x $peers_dir/peers.sh ]] ||
    { echo "race.sh: no peer harness found (set PEERS_DIR)" >&2; exit 1; }

scripts/deps.sh bench

echo "== building the release tree" >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DRDM_BUILD_TESTS=OFF \
    -DRDM_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release >/dev/null
sync_bin=$root/build/release/tools/resource-sync/resource-sync
[[ -x $sync_bin ]] || { echo "race.sh: $sync_bin was not built" >&2; exit 1; }

stamp=$(date +%Y-%m-%d-%H%M%S)
results=$root/bench/results
mkdir -p "$results" "$site"
work=$(mktemp -d -t rdm-race.XXXXXX)
run_dir=""
harness=$work/peers
cleanup() {
    set +e
    [[ -n $run_dir ]] && "$harness/serve.sh" stop "$run_dir" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

# peers.sh writes its results next to itself: the copy keeps them out of the shared folder.
mkdir -p "$harness"
cp "$peers_dir/peers.sh" "$peers_dir/serve.sh" "$peers_dir/summarize.py" "$harness/"

# One nginx for the whole race, so that the manifests can name its address before peers.sh runs.
# It also listens for HTTPS with HTTP/2, with a certificate from a private CA made for this run.
eval "$(TLS=1 "$harness/serve.sh" start "$site")"
run_dir=$RUN_DIR

# Manifests of paths alone: the peers get plain URL lists and verify nothing either.
q() { printf '%q' "$1"; }
manifests=$work/manifests
mkdir -p "$manifests"
IFS=, read -ra set_list <<<"$sets"
for set in "${set_list[@]}"; do
    for policy in ifModified ifMissing; do
        "$sync_bin" manifest "$SITE_DIR/$set" --base-url "${BASE_URL}$set/" --policy "$policy" \
            --paths-only >"$manifests/$set-$policy.json"
    done
done
sync_cmd() { # sync_cmd POLICY [FOLDER]: a peers.sh template ({set}, {out}, {cacert} are its own)
    echo "$(q "$sync_bin") sync $(q "${2:-$manifests}")/{set}-$1.json --dir {out} --jobs $jobs --quiet {cacert}"
}

peers_name=race-$stamp
"$harness/peers.sh" --run-dir "$run_dir" --results "$peers_name" --runs "$runs" \
    --warmup "$warmup" --sets "$sets" --modes "$modes" \
    --extra-cold "resource-sync=$(sync_cmd ifModified)" \
    --extra-cold "resource-sync-no-fsync=$(sync_cmd ifModified) --no-fsync" \
    --extra-warm "resource-sync-ifModified=$(sync_cmd ifModified)" \
    --extra-warm "resource-sync-ifMissing=$(sync_cmd ifMissing)" \
    --extra-warm "wget-nc=wget -q -nc -P {out} -i {urls}"
cp "$harness/$peers_name.md" "$results/peers-$stamp.md"

# The small set once more, cold, over HTTPS: curl negotiates HTTP/2 as resource-sync does.
row_args=()
if [[ ,$sets, == *,small,* && ,$modes, == *,cold,* ]]; then
    tls_manifests=$work/manifests-tls
    mkdir -p "$tls_manifests"
    "$sync_bin" manifest "$SITE_DIR/small" --base-url "${BASE_URL_TLS}small/" --policy ifModified \
        --paths-only >"$tls_manifests/small-ifModified.json"
    TLS=1 "$harness/peers.sh" --run-dir "$run_dir" --results "$peers_name-tls" --runs "$runs" \
        --warmup "$warmup" --sets small --modes cold \
        --extra-cold "resource-sync=$(sync_cmd ifModified "$tls_manifests")" \
        --extra-cold "resource-sync-no-fsync=$(sync_cmd ifModified "$tls_manifests") --no-fsync"
    cp "$harness/$peers_name-tls.md" "$results/peers-tls-$stamp.md"
    row_args+=(--tls "$harness/$peers_name-tls")
fi

if [[ $big_row == 1 ]]; then
    # 100,000 small files, all present: the check alone, against a plain stat loop over them.
    many=$site/many
    if [[ ! -f $many/.complete ]]; then
        echo "== generating 100,000 files in $many" >&2
        rm -rf "$many"
        mkdir -p "$many/files"
        python3 - "$many/files" <<'EOF'
import os, sys
folder = sys.argv[1]
for i in range(100000):
    with open(os.path.join(folder, "f%06d.bin" % i), "wb") as f:
        f.write(b"%016d" % i)
EOF
        touch "$many/.complete"
    fi
    "$sync_bin" manifest "$many/files" --base-url "${BASE_URL}many/files/" --policy ifMissing \
        --paths-only >"$manifests/many.json"
    py=$(python3 -c 'import sys; print(sys.executable)')
    hyperfine --style basic --shell=bash --warmup "$warmup" --runs "$runs" \
        --export-json "$work/many.json" \
        -n "floor:stat-py" "$(q "$py") -S -c 'import os,sys; [os.stat(e.path) for e in os.scandir(sys.argv[1])]' $(q "$many/files")" \
        -n "resource-sync-ifMissing" "$(q "$sync_bin") sync $(q "$manifests/many.json") --dir $(q "$many/files") --jobs $jobs --quiet" >&2
    cp "$work/many.json" "$results/many-$stamp.json"
    /usr/bin/time -f '%M' -o "$work/many.rss" "$sync_bin" sync "$manifests/many.json" \
        --dir "$many/files" --jobs "$jobs" --quiet >/dev/null
    row_args+=(--many "$work/many.json" --many-rss "$(cat "$work/many.rss")")
fi

if [[ $register_row == 1 ]]; then
    # 100,000 descriptors in one bundle and in 1,000 bundles (each descriptor in two of them).
    bench_bin=$root/build/release/bench/SchedulerBench
    if "$bench_bin" --benchmark_filter='BM_RegisterSharedCatalogue/descriptors:100000/bundles:(1|1000)/' \
        --benchmark_repetitions=3 \
        --benchmark_report_aggregates_only=true --benchmark_format=json >"$work/register.json"; then
        cp "$work/register.json" "$results/register-$stamp.json"
        row_args+=(--register "$work/register.json")
    else
        echo "race.sh: the registration benchmark did not run; its rows are left out" >&2
    fi
fi

python3 "$root/bench/race_table.py" "$harness/$peers_name" "${row_args[@]}" |
    sed "/^- machine:/a - downloads land on: $(fs_of "$work")" >"$results/race-$stamp.md"
cat "$results/race-$stamp.md"
echo "== table: bench/results/race-$stamp.md; peers' full results: bench/results/peers-$stamp.md" >&2
