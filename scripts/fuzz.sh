#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz and runs each for FUZZ_TIME seconds (60 by default) from its corpus in
# fuzz/corpus/<target>/; the inputs it finds go to build-fuzz/corpus/<target>/. A crash fails the
# run, and its input is copied into fuzz/corpus/<target>/: fix the bug and commit the input as a
# regression test.
#   FUZZ_TIME=60 scripts/fuzz.sh [JOBS] [CMAKE_FLAGS...]
set -eu
jobs=${1:-$(nproc)}
shift || true
time=${FUZZ_TIME:-60}
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOSTREL_FUZZ=ON \
    -DOSTREL_SANITIZE=address,undefined -DOSTREL_BUILD_TESTS=OFF -DOSTREL_BUILD_BENCH=OFF \
    -DOSTREL_BUILD_EXAMPLES=OFF "$@" >/dev/null
cmake --build build-fuzz -j "$jobs" -- --no-print-directory
for source in fuzz/*Fuzz.cpp; do
    target=$(basename "$source" .cpp)
    rm -rf "build-fuzz/crashes/$target"
    mkdir -p "build-fuzz/corpus/$target" "build-fuzz/crashes/$target" "fuzz/corpus/$target"
    echo "== $target ($time s)"
    if "build-fuzz/bin/$target" -max_total_time="$time" -print_final_stats=1 \
           -artifact_prefix="build-fuzz/crashes/$target/" \
           "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units)' "build-fuzz/$target.log" | head -1
    else
        tail -n 40 "build-fuzz/$target.log"
        for input in "build-fuzz/crashes/$target"/*; do
            [ -f "$input" ] && cp "$input" "fuzz/corpus/$target/" &&
                echo "added to the corpus: fuzz/corpus/$target/$(basename "$input")"
        done
        echo "$target failed (log: build-fuzz/$target.log)" >&2
        exit 1
    fi
done
