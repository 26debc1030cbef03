#!/usr/bin/env bash
# HTTP download benchmark over loopback, against nginx started here with its own configuration:
#   1. one 1 GiB file, downloaded by ResourceDownloaderHttp (bench/HttpDownloadBench.cpp) and by
#      `curl -o` in the same run: throughput of each, their ratio, and peak memory (RSS);
#   2. 2,000 files of 4 KiB with 4 threads: files per second and peak memory.
# Everything (nginx's files, the served and the downloaded files) lives in one temporary folder,
# removed at the end together with nginx.
# Usage: bench/http_bench.sh [rounds]   (rounds of each part, default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-3}"

scripts/deps.sh
for tool in nginx curl /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

echo "=== building the bench program"
bench/build_bench.sh HttpDownloadBench
bench_program="$PWD/build/bench/bench/HttpDownloadBench"

work="$(mktemp -d /tmp/rdm-http-bench-XXXXXX)"
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# nginx's workers drop root rights; they must be able to read the served files.
chmod 755 "$work"
mkdir -p "$work/www/small" "$work/out/small" "$work/nginx"

# Downloads must not go through a proxy of this machine.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

if command -v python3 >/dev/null; then
    port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
else
    port=$((20000 + RANDOM % 40000))
fi
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
error_log $work/nginx/error.log warn;
pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    keepalive_timeout 60;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$port;
        root $work/www;
    }
}
CONF

echo "=== preparing files"
head -c 1073741824 /dev/urandom >"$work/www/big.bin"
head -c $((4096 * 2000)) /dev/urandom | split -b 4096 -a 4 -d - "$work/www/small/f"
chmod -R a+rX "$work/www"

nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -g 'daemon off;' &
nginx_pid=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/small/f0000" && break
    sleep 0.1
done
base="http://127.0.0.1:$port"

# Runs a command under /usr/bin/time; prints "<seconds> <peak RSS KiB>".
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >"$work/run.log" 2>&1 || {
        cat "$work/run.log" >&2
        exit 1
    }
    cat "$work/time.txt"
}

echo "=== 1 GiB file, best of $rounds (seconds, peak RSS)"
best_ours=""; best_curl=""; rss_ours=0; rss_curl=0
for round in $(seq "$rounds"); do
    read -r t m < <(measure "$bench_program" one "$base/big.bin" "$work/out/big.bin")
    cmp -s "$work/www/big.bin" "$work/out/big.bin" || { echo "downloaded file differs" >&2; exit 1; }
    rm -f "$work/out/big.bin"
    echo "round $round: ResourceDownloaderHttp ${t}s, ${m} KiB"
    if [ -z "$best_ours" ] || awk "BEGIN{exit !($t < $best_ours)}"; then best_ours=$t; fi
    [ "$m" -gt "$rss_ours" ] && rss_ours=$m

    read -r t m < <(measure curl -s -o "$work/out/big.bin" "$base/big.bin")
    rm -f "$work/out/big.bin"
    echo "round $round: curl -o                 ${t}s, ${m} KiB"
    if [ -z "$best_curl" ] || awk "BEGIN{exit !($t < $best_curl)}"; then best_curl=$t; fi
    [ "$m" -gt "$rss_curl" ] && rss_curl=$m
done
awk -v ours="$best_ours" -v curl="$best_curl" -v ro="$rss_ours" -v rc="$rss_curl" 'BEGIN {
    printf "ResourceDownloaderHttp: %.0f MiB/s, peak RSS %.1f MiB\n", 1024 / ours, ro / 1024
    printf "curl -o:                %.0f MiB/s, peak RSS %.1f MiB\n", 1024 / curl, rc / 1024
    printf "throughput ratio (ours / curl): %.2f\n", curl / ours
}'
rm -f "$work/www/big.bin"

echo "=== 2,000 files of 4 KiB, 4 threads, $rounds rounds (files per second, peak RSS)"
for round in $(seq "$rounds"); do
    rm -f "$work/out/small/"*
    read -r t m < <(measure "$bench_program" many "$base/small" 2000 4 "$work/out/small")
    echo "round $round: $(grep -o 'files/s=[0-9]*' "$work/run.log"), ${t}s, peak RSS ${m} KiB"
done
