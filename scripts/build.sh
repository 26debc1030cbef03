#!/usr/bin/env bash
# Configures and builds one variant: scripts/build.sh [normal|address|thread] [extra cmake args]
# The build folder is build/<variant>.
set -euo pipefail
cd "$(dirname "$0")/.."

variant="${1:-normal}"
shift || true
sanitize=""
case "$variant" in
    normal) ;;
    address | thread) sanitize="$variant" ;;
    *) echo "unknown variant '$variant' (normal, address or thread)" >&2; exit 2 ;;
esac

build_type=RelWithDebInfo
[ -n "$sanitize" ] && build_type=Debug

# ccache, when the machine has it, makes rebuilds of unchanged sources free; the build does not
# need it.
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi

cmake -S . -B "build/$variant" -G Ninja \
    -DCMAKE_BUILD_TYPE="$build_type" \
    -DRDM_SANITIZE="$sanitize" \
    -DRDM_WERROR=ON \
    "${launcher[@]}" \
    "$@" >/dev/null
cmake --build "build/$variant"
