#!/usr/bin/env bash
# System calls per file of one pass of the library (bench/FileCostDriver.cpp) over N small files
# served by a loopback nginx (the peers' serve.sh), counted with `strace -f -c`:
#   cold        IfMissing into an empty folder: every file is downloaded;
#   IfMissing   the same files again, all present: existence checks only;
#   IfModified  the same files again: one Last-Modified query and one local time each.
# Each row is the count of a run over N files minus that of a run over none, divided by N, so
# process start-up and library set-up drop out. Not part of CI.
# The library's INFO lines are filtered out, as a host that logs warnings and errors only has
# them; `bench/file_syscalls.sh N 0` keeps them (written to stderr).
# Usage: bench/file_syscalls.sh [N [glog minimum level]]   (defaults 2000 and 1, WARNING)
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-2000}"
min_log_level="${2:-1}"

scripts/deps.sh
peers="${PEERS_DIR:-$(cd .. && pwd)/shared/bench/peers}"
[ -x "$peers/serve.sh" ] || peers="$(cd ../.. && pwd)/shared/bench/peers"
[ -x "$peers/serve.sh" ] || { echo "serve.sh of the peers not found; set PEERS_DIR" >&2; exit 1; }

echo "=== building the driver"
bench/build_bench.sh FileCostDriver
driver="$PWD/build/bench/bench/FileCostDriver"

work="$(mktemp -d /tmp/rdm-file-syscalls-XXXXXX)"
run_dir=""
cleanup() {
    [ -n "$run_dir" ] && "$peers/serve.sh" stop "$run_dir" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

eval "$(SMALL_N="$count" MEDIUM_N=0 BIG_MIB=0 "$peers/serve.sh" start "$work/site" 2>/dev/null)"
run_dir="$RUN_DIR"
mkdir -p "$work/out" "$work/empty"

# Counts the system calls of one driver run; writes strace's table to $work/<name>.txt.
trace() {
    local name=$1 policy=$2 folder=$3 files=$4
    # glog takes its flags' defaults from GLOG_* variables of the environment.
    GLOG_minloglevel="$min_log_level" strace -f -c -o "$work/$name.txt" "$driver" "$policy" "${BASE_URL}small" "$folder" "$files" \
        >/dev/null 2>&1
}

# Prints, per system call, (calls of run $1 - calls of run $2) / N, for calls that differ.
per_file() {
    awk -v n="$count" '
        FNR == 1 { file++ }
        $NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $NF != "syscall" {
            calls = ($4 ~ /^[0-9]+$/) ? $4 : $3
            if (file == 1) a[$NF] += calls; else b[$NF] += calls
        }
        END {
            for (k in a) { d = (a[k] - b[k]) / n; total += d; if (d >= 0.01) printf "  %-16s %6.2f\n", k, d }
            printf "  %-16s %6.2f\n", "all", total
        }' "$1" "$2" | sort -k2 -nr
}

echo "=== $count files of 4 KiB; system calls per file"
trace base IfMissing "$work/empty" 0
trace cold IfMissing "$work/out" "$count"
trace warm-ifmissing IfMissing "$work/out" "$count"
trace base-ifmodified IfModified "$work/empty" 0
trace warm-ifmodified IfModified "$work/out" "$count"
echo "cold download:"
per_file "$work/cold.txt" "$work/base.txt"
echo "warm IfMissing:"
per_file "$work/warm-ifmissing.txt" "$work/base.txt"
echo "warm IfModified:"
per_file "$work/warm-ifmodified.txt" "$work/base-ifmodified.txt"
