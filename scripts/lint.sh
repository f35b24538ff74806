#!/usr/bin/env bash
# Static analysis, all of which must be clean:
# - clang-tidy (the checks of .clang-tidy, relaxed for the tests by tests/.clang-tidy) over the
#   sources of src/, tools/, tests/, bench/ and examples/ and the headers they include, from the
#   compile commands of a tree configured with clang in build-lint (configured only, not built:
#   clang reads GCC-only flags such as -fno-gnu-unique as errors);
# - cppcheck over src/, include/ and tools/ (a finding is kept only as an inline suppression with
#   its reason beside it);
# - clang-format over every C and C++ file of the repository.
#   scripts/lint.sh [JOBS] [CMAKE_FLAGS...]
set -eu
jobs=${1:-$(nproc)}
shift || true
cmake -S . -B build-lint -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >/dev/null
echo "== clang-tidy"
if ! run-clang-tidy -p build-lint -quiet -j "$jobs" "$PWD/(src|tools|tests|bench|examples)/.*\.cpp$" \
        >build-lint/clang-tidy.log 2>&1 || grep -E '(warning|error):' build-lint/clang-tidy.log; then
    cat build-lint/clang-tidy.log
    exit 1
fi
echo "== cppcheck"
cppcheck --error-exitcode=1 --enable=warning,performance,portability --inline-suppr --quiet \
    --std=c++17 -I include -I tools src include tools
echo "== clang-format"
find bench examples fuzz include src tests tools \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) \
    -print0 | sort -z | xargs -0 clang-format --dry-run -Werror
