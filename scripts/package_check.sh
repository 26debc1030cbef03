#!/usr/bin/env bash
# Proves that the library can be used as installed, the way a host team would use it:
#  1. builds it as a package build does (tests off, default warning flags) into build/package;
#  2. installs it into a scratch prefix and checks that nothing installed points back into this
#     tree;
#  3. compiles every installed header on its own, with strict warnings, and checks that none pulls
#     in a library it does not need (libcurl, glog and QtNetwork never; QtCore only for the Qt
#     adapter);
#  4. builds examples/consumer against the scratch prefix only (CMake package), and its plain
#     host once more through pkg-config, and runs the programs;
#  5. builds the Debian package build/package/resource-download-manager_<version>_<arch>.deb and
#     lists its contents and control fields.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/package
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

fail() {
    echo "package check: $*" >&2
    exit 1
}

launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
fi

echo "--- package build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DRDM_BUILD_TESTS=OFF -DRDM_BUILD_BENCHMARKS=OFF \
    -DRDM_BUILD_TOOLS=ON "${launcher[@]}" >/dev/null
cmake --build "$build"
cmake --install "$build" --prefix "$prefix" >/dev/null
if grep -rIl -e "$PWD/src" -e "$PWD/$build" "$prefix"; then
    fail "installed files above refer to the source or build tree"
fi

echo "--- installed headers, each on its own"
includedir="$prefix/include/ResourceDownloadManager"
read -r -a qtflags <<<"$(pkg-config --cflags Qt5Core)"
count=0
while IFS= read -r header; do
    flags=(-std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -H -I"$includedir")
    forbidden='/(curl|glog|QtNetwork)/'
    if grep -q '^#include <Q' "$includedir/$header"; then
        flags+=("${qtflags[@]}" -fPIC)
    else
        forbidden='/(curl|glog|qt5)/'
    fi
    if ! printf '#include "%s"\n' "$header" | c++ "${flags[@]}" -x c++ - 2>"$scratch/trace"; then
        cat "$scratch/trace" >&2
        fail "$header does not compile on its own"
    fi
    # -H lists every header the translation unit opened, one per line, indented with dots.
    if grep -E '^\.+ ' "$scratch/trace" | grep -E "$forbidden"; then
        fail "$header pulls in the headers above"
    fi
    count=$((count + 1))
done < <(cd "$includedir" && find . -name '*.h' | sed 's|^\./||' | sort)
echo "$count headers compile alone"

echo "--- consumer project against the installed tree only"
server="$scratch/server"
mkdir -p "$server" "$scratch/out-cmake" "$scratch/out-qt" "$scratch/out-pc"
printf 'content for the consumer\n' >"$server/greeting.txt"
# Built from a copy, so that nothing of this tree is on any include path.
cp -r examples/consumer "$scratch/consumer-src"
cmake -S "$scratch/consumer-src" -B "$scratch/consumer" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$scratch/consumer" >/dev/null
if grep -F -e "$PWD/src" -e "$PWD/$build" "$scratch/consumer/compile_commands.json"; then
    fail "the consumer's compile commands reach into this tree"
fi
"$scratch/consumer/plain_host" "$server" "$scratch/out-cmake" greeting.txt
"$scratch/consumer/qt_host" "$server" "$scratch/out-qt" greeting.txt | tail -n 1
cmp "$server/greeting.txt" "$scratch/out-cmake/greeting.txt"
cmp "$server/greeting.txt" "$scratch/out-qt/greeting.txt"

pcdir=$(dirname "$(find "$prefix" -name resource-download-manager.pc)")
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir resource-download-manager)
read -r -a pcflags <<<"$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs resource-download-manager)"
c++ -std=c++17 "$scratch/consumer-src/plain_host.cpp" "${pcflags[@]}" -Wl,-rpath,"$libdir" \
    -o "$scratch/plain_host_pc"
"$scratch/plain_host_pc" "$server" "$scratch/out-pc" greeting.txt
cmp "$server/greeting.txt" "$scratch/out-pc/greeting.txt"

echo "--- Debian package"
rm -f "$build"/resource-download-manager_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/resource-download-manager_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no resource-download-manager_*.deb"
deb="${debs[0]}"
dpkg-deb -I "$deb"
contents=$(dpkg-deb -c "$deb")
echo "$contents"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt5core libqt5network; do
    [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library, which dpkg-shlibdeps finds"
done
# resource-sync verifies signed manifests with libsodium.
if [ -f tools/resource-sync/CMakeLists.txt ]; then
    [[ "$depends" == *libsodium23* ]] || fail "Depends lacks libsodium23, which resource-sync uses"
fi
# dpkg-shlibdeps would accept an older libcurl than the transfer options need.
[[ "$depends" == *"libcurl4 (>= 7.85"* ]] || fail "Depends lacks libcurl4 (>= 7.85)"
wanted=(libResourceDownloadManager.so.0 ResourceDownloadManagerConfig.cmake
    resource-download-manager.pc QtEventHandler.h)
if [ -f tools/resource-sync/CMakeLists.txt ]; then
    wanted+=(bin/resource-sync share/man/man1/resource-sync.1
        share/bash-completion/completions/resource-sync)
fi
copyright=share/doc/resource-download-manager/copyright
wanted+=("$copyright")
for file in "${wanted[@]}"; do
    [[ "$contents" == *"$file"* ]] || fail "$deb lacks $file"
done
# The copyright file is in the machine-readable format, with a licence for every file.
dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/$copyright" >"$scratch/copyright"
head -n 1 "$scratch/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$copyright does not start with the machine-readable format's Format line"
grep -q '^Files: \*$' "$scratch/copyright" && grep -q '^License: ' "$scratch/copyright" ||
    fail "$copyright has no Files: * paragraph with a License"
if [ -f tools/resource-sync/CMakeLists.txt ]; then
    # The manual page renders without warnings and the completion script parses.
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$scratch" ./usr/share/man/man1 \
        ./usr/share/bash-completion/completions/resource-sync
    manual=$(find "$scratch/usr/share/man/man1" -name 'resource-sync.1*')
    if command -v man >/dev/null 2>&1; then
        warnings=$(man --warnings -l "$manual" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "the manual page has warnings: $warnings"
    fi
    bash -n "$scratch/usr/share/bash-completion/completions/resource-sync" ||
        fail "the bash completion does not parse"
fi
echo "package check passed: $deb"
