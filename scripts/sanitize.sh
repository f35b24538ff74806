#!/usr/bin/env bash
# Builds and runs the test suite twice more: with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan, and with ThreadSanitizer in build-tsan. ThreadSanitizer cannot map its shadow memory
# when the kernel randomises mmap addresses with more than 28 bits ("unexpected memory mapping");
# its tests then run with address randomisation turned off.
#   scripts/sanitize.sh [JOBS] [CMAKE_FLAGS...]
set -eu
jobs=${1:-$(nproc)}
shift || true
for entry in build-asan:address,undefined build-tsan:thread; do
    tree=${entry%%:*}
    sanitizers=${entry#*:}
    cmake -S . -B "$tree" -DOSTREL_SANITIZE="$sanitizers" "$@" >/dev/null
    cmake --build "$tree" -j "$jobs" -- --no-print-directory
    run=()
    if [ "$sanitizers" = thread ] && [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ]; then
        run=(setarch "$(uname -m)" -R)
    fi
    echo "== $tree ($sanitizers) ${run[*]}"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        "${run[@]}" ctest --test-dir "$tree" --output-on-failure -j "$jobs"
done
