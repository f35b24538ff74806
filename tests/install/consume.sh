#!/usr/bin/env bash
# Installs the built library into a temporary prefix and checks what it exports; then builds and
# runs a consumer against it through find_package(Ostrel CONFIG) and through pkg-config; checks
# that "man ostrel" finds the tool's manual page there, and that its bash completion is there.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$1" --prefix "$work/prefix" >/dev/null
lib=$(dirname "$(find "$work/prefix" -name libOstrel.so.1.0.0)")
test -L "$lib/libOstrel.so" && test -L "$lib/libOstrel.so.1"
symbols=$(nm -DC --defined-only "$lib/libOstrel.so")
grep -q 'Ostrel::Dir::_pathSeparator' <<<"$symbols" && ! grep -q 'DirToken' <<<"$symbols"
cmake -S "$2/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
export PKG_CONFIG_PATH=$lib/pkgconfig LD_LIBRARY_PATH=$lib
test "$(pkg-config --modversion ostrel)" = 1.0.0
# shellcheck disable=SC2046
c++ -std=c++17 "$2/consumer/main.cpp" -o "$work/pc" $(pkg-config --cflags --libs ostrel)
page=$(MANPATH="$work/prefix/share/man" man ostrel 2>&1)
grep -q '^ *ostrel load NAME \[SYMBOL\.\.\.\]$' <<<"$page"
test -f "$work/prefix/share/bash-completion/completions/ostrel"
for consumer in "$work/cmake/consumer" "$work/pc"; do test "$("$consumer")" = "consumer: /usr/lib/"; done
