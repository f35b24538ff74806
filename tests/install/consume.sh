#!/usr/bin/env bash
# Installs the built library into a temporary prefix, then builds and runs a small consumer
# against the installed tree twice: through find_package(Ostrel CONFIG) and through pkg-config.
set -euo pipefail
build=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name 'libOstrel.so.1' -print -quit)")
test -L "$libdir/libOstrel.so" && test -L "$libdir/libOstrel.so.1" && test -f "$libdir/libOstrel.so.1.0.0"

cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer" | grep -qx 'consumer: /usr/lib/'
echo "find_package consumer: ok"

pc=$(dirname "$(find "$work/prefix" -name 'ostrel.pc' -print -quit)")
export PKG_CONFIG_PATH="$pc"
test "$(pkg-config --modversion ostrel)" = "1.0.0"
# shellcheck disable=SC2046
c++ -std=c++17 "$here/consumer/main.cpp" -o "$work/pkgconfig-consumer" $(pkg-config --cflags --libs ostrel)
LD_LIBRARY_PATH="$libdir" "$work/pkgconfig-consumer" | grep -qx 'consumer: /usr/lib/'
echo "pkg-config consumer: ok"
