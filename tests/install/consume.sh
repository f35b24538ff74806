#!/usr/bin/env bash
# Builds and runs consumer/ against an installed build tree (install BUILD_DIR), against the
# unpacked Debian packages after checking them (packages DEB_DIR), or with the source tree built
# inside it through add_subdirectory and FetchContent, without GoogleTest (embed SOURCE_DIR).
# An installed tree also has the tool's manual page, found by man, and its bash completion. The
# checks through pkg-config and man are left out where those commands are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd) work=$(mktemp -d) expected="consumer 1.0.0: /usr/lib/"
trap 'rm -rf "$work"' EXIT

consume() { # an installed tree, through find_package and pkg-config; only namespace Ostrel exported
    lib=$(dirname "$(find "$1" -name libOstrel.so.1.0.0)")
    test -L "$lib/libOstrel.so" && test -L "$lib/libOstrel.so.1"
    test -z "$(nm -DC --defined-only "$lib/libOstrel.so" | grep -v -e ' Ostrel::' -e ' for Ostrel::')"
    cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$1" >/dev/null
    cmake --build "$work/cmake" >/dev/null
    export PKG_CONFIG_PATH=$lib/pkgconfig LD_LIBRARY_PATH=$lib
    consumers=("$work/cmake/consumer")
    if command -v pkg-config >/dev/null; then
        # shellcheck disable=SC2046
        c++ -std=c++17 "$here/consumer/main.cpp" -o "$work/pc" $(pkg-config --cflags --libs ostrel)
        consumers+=("$work/pc")
    fi
    for consumer in "${consumers[@]}"; do test "$("$consumer")" = "$expected"; done
    ! command -v man >/dev/null ||
        grep -q '^ *ostrel load NAME \[..flags FLAG\[,FLAG\.\.\.\]\] \[SYMBOL\.\.\.\]$' <<<"$(MANPATH="$1/share/man" man ostrel 2>&1)"
    test -f "$1/share/bash-completion/completions/ostrel"
}

case $1 in
install)
    cmake --install "$2" --prefix "$work/prefix" >/dev/null && consume "$work/prefix" ;;
packages)
    runtime=$(echo "$2"/libostrel1_*.deb) dev=$(echo "$2"/libostrel-dev_*.deb)
    grep -q " ./usr/lib/$(gcc -print-multiarch)/libOstrel.so.1.0.0$" <<<"$(dpkg-deb -c "$runtime")"
    test -z "$(dpkg-deb -c "$runtime" | grep -e /include/ -e 'libOstrel.so ')"
    grep -q " ./usr/include/Ostrel/Version.h$" <<<"$(dpkg-deb -c "$dev")"
    grep -q 'libc6' <<<"$(dpkg-deb -f "$runtime" Depends)"
    grep -q 'libostrel1 (= 1.0.0)' <<<"$(dpkg-deb -f "$dev" Depends)"
    dpkg-deb -x "$runtime" "$work/root" && dpkg-deb -x "$dev" "$work/root" && consume "$work/root/usr" ;;
embed)
    for via in subdirectory fetch; do
        cmake -S "$here/consumer" -B "$work/$via" -DOSTREL_VIA=$via -DOSTREL_SOURCE="$2" \
            -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON --no-warn-unused-cli >/dev/null
        cmake --build "$work/$via" -j 2 >/dev/null && test "$("$work/$via/consumer")" = "$expected"
        # Only the library came along, under the parent's empty build type and without -Werror.
        test -z "$(find "$work/$via" -name ostrel -type f)"
        grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$work/$via/CMakeCache.txt"
        test -z "$(grep -e -Werror -e gtest "$work/$via/compile_commands.json")"
    done ;;
esac
