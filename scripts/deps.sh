#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when some are missing.
# Usage: scripts/deps.sh [bench]   (bench adds the peers of bench/race.sh: hyperfine, aria2, wget)
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    # rebuilds of unchanged sources come from the cache (scripts/build.sh uses it when present)
    ccache
    qtbase5-dev libboost-dev libgoogle-glog-dev libcurl4-openssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # test servers: in-process HTTP server, a real proxy, TLS certificates
    libcpp-httplib-dev tinyproxy openssl
    # the terminal display test of resource-sync runs it in a tmux pane
    tmux
    # a loopback web server (HTTP/2 tests, benchmarks); the curl command for comparison; system
    # calls, counted by the benchmarks and watched by the test of the flush before each rename
    nginx-light curl time strace
    # the Debian package: dependencies of the library found by dpkg-shlibdeps
    dpkg-dev
    # signed manifests: resource-sync verifies Ed25519 signatures with libsodium; the tests and
    # the README make keys and signatures with the minisign tool
    libsodium-dev minisign
)
for group in "$@"; do
    case "$group" in
        bench) packages+=(hyperfine aria2 wget python3) ;;
        *) echo "deps.sh: unknown group '$group' (bench)" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
