#!/usr/bin/env bash
# Builds and runs the whole test suite three ways: a normal build, AddressSanitizer +
# UndefinedBehaviorSanitizer, and ThreadSanitizer; then checks the installed package
# (scripts/package_check.sh). Installs missing packages first.
# Usage: scripts/test.sh [normal] [address] [thread] [package]   (all four when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/check_format.sh

variants=("$@")
[ ${#variants[@]} -eq 0 ] && variants=(normal address thread package)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp"
# Tests must never pick up a proxy from the machine they run on.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

jobs=$(nproc)
for variant in "${variants[@]}"; do
    if [ "$variant" = package ]; then
        echo "=== package check"
        scripts/package_check.sh
        continue
    fi
    echo "=== $variant build"
    scripts/build.sh "$variant"
    runner=()
    if [ "$variant" = thread ]; then
        # ThreadSanitizer needs the classic address-space layout on kernels with high mmap
        # randomisation.
        runner=(setarch "$(uname -m)" -R)
    fi
    echo "=== $variant tests"
    "${runner[@]}" ctest --test-dir "build/$variant" --output-on-failure -j "$jobs"
done
echo "=== all variants passed: ${variants[*]}"
