# The two everyday commands: `make run` (build, then the library's main job through the tool)
# and `make test` (build, then the whole test suite). `make bench` runs the benchmarks,
# `make sanitize` the tests under the sanitizers, `make memcheck` under valgrind, `make fuzz` the
# fuzz targets and `make lint` the static analysis.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages the build needs, and a command or a file (a path, wildcards allowed) each
# provides. clang and its runtime build the fuzz targets; clang-tidy, cppcheck and clang-format
# run in `make lint`.
PACKAGES := cmake:cmake g++:g++ make:make pkg-config:pkg-config python3:python3 \
            libgtest-dev:/usr/include/gtest/gtest.h libgmock-dev:/usr/include/gmock/gmock.h \
            libbenchmark-dev:/usr/include/benchmark/benchmark.h \
            clang:clang++ libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a \
            clang-tidy:clang-tidy cppcheck:cppcheck clang-format:clang-format

.PHONY: all build run test bench sanitize memcheck fuzz lint prerequisites clean

all: build

prerequisites:
	@missing=""; \
	for entry in $(PACKAGES); do \
	    pkg=$${entry%%:*}; probe=$${entry#*:}; \
	    case $$probe in /*) ls $$probe >/dev/null 2>&1 ;; *) command -v $$probe >/dev/null 2>&1 ;; esac \
	        || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	    if [ "$$(id -u)" = 0 ]; then \
	        echo "installing:$$missing"; \
	        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	    else \
	        echo "missing Debian packages:$$missing (install them with: sudo apt-get install$$missing)" >&2; \
	        exit 1; \
	    fi; \
	fi

$(BUILD)/CMakeCache.txt: | prerequisites
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: prerequisites $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/ostrel info
	$(BUILD)/bin/ostrel locate --domain lib --verbose libOstrel.so
	$(BUILD)/bin/ostrel road

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench: build
	python3 bench/ratios.py $(BUILD) --json $(BUILD)/bench.json
	python3 bench/chart.py $(BUILD)/bench.json docs/benchmarks.md docs/benchmarks.svg

# The chart of `make bench` is drawn with gnuplot; only `make bench` needs it.
bench: PACKAGES += gnuplot-nox:gnuplot

# The HTML API reference, from the public headers through docs/Doxyfile, lands in
# $(BUILD)/docs/html/index.html. Any public class, member or enumerator without a doc comment
# fails: Doxygen turns its warnings into errors and logs them, the log must stay empty, and
# docs/check_documented.py adds the enumerators Doxygen does not report.
.PHONY: docs
docs: PACKAGES += doxygen:doxygen
docs: prerequisites
	rm -rf $(BUILD)/docs && mkdir -p $(BUILD)/docs
	OSTREL_DOCS_DIR=$(BUILD)/docs doxygen docs/Doxyfile
	@if [ -s $(BUILD)/docs/warnings.log ]; then cat $(BUILD)/docs/warnings.log >&2; exit 1; fi
	python3 docs/check_documented.py $(BUILD)/docs/xml
	@echo "API reference: $(BUILD)/docs/html/index.html"

# The whole test suite built and run twice more: with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan, and with ThreadSanitizer in build-tsan. ThreadSanitizer
# cannot map its shadow memory when the kernel randomises mmap addresses with more than 28 bits
# ("unexpected memory mapping"); then its tests run with address randomisation turned off.
SANITIZE_TREES := build-asan:address,undefined build-tsan:thread
TSAN_RUN = $(shell [ "$$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] \
                   && echo "setarch $$(uname -m) -R")

sanitize: prerequisites
	@set -e; for entry in $(SANITIZE_TREES); do \
	    tree=$${entry%%:*}; sanitizers=$${entry#*:}; \
	    cmake -S . -B $$tree -DOSTREL_SANITIZE=$$sanitizers $(CMAKE_FLAGS); \
	    cmake --build $$tree -j $(JOBS); \
	    case $$sanitizers in thread) run="$(TSAN_RUN)" ;; *) run="" ;; esac; \
	    echo "== $$tree ($$sanitizers) $$run"; \
	    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	        $$run ctest --test-dir $$tree --output-on-failure -j $(JOBS); \
	done

# The whole test suite once more under valgrind memcheck, in the normal tree: every test process,
# and every child it forks (inChild, the tool runs of ToolTest), ends with a leak check;
# any invalid access or definite or possible leak makes that process exit with 97, which fails
# its test. Programs that a test executes (the ostrel tool, /bin/sleep) run natively. The
# install test is left out (it only builds a consumer). ctest's "Cannot find file
# DartConfiguration.tcl" lines are harmless: the checker is given on its command line.
VALGRIND_OPTIONS := --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite,possible \
                    --num-callers=30 --suppressions=$(CURDIR)/tests/valgrind.supp

memcheck: build
	@$(MAKE) --no-print-directory prerequisites PACKAGES=valgrind:valgrind
	ctest --test-dir $(BUILD) -T memcheck -j $(JOBS) -E '^InstallAndConsume$$' --output-on-failure \
	    --overwrite MemoryCheckCommand=$$(command -v valgrind) \
	    --overwrite "MemoryCheckCommandOptions=$(VALGRIND_OPTIONS)"

# The libFuzzer targets of fuzz/, built with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz, each run for FUZZ_TIME seconds from its corpus in fuzz/corpus/<target>/ (the
# inputs it finds go to build-fuzz/corpus/<target>/). A crash fails the run, and its input is
# copied into fuzz/corpus/<target>/: fix the bug and commit the input as a regression test.
FUZZ_TIME ?= 60
FUZZ_FLAGS := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOSTREL_FUZZ=ON \
              -DOSTREL_SANITIZE=address,undefined -DOSTREL_BUILD_TESTS=OFF \
              -DOSTREL_BUILD_BENCH=OFF -DOSTREL_BUILD_EXAMPLES=OFF

fuzz: prerequisites
	cmake -S . -B build-fuzz $(FUZZ_FLAGS) $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	@set -e; for source in fuzz/*Fuzz.cpp; do \
	    target=$$(basename $$source .cpp); \
	    rm -rf build-fuzz/crashes/$$target; \
	    mkdir -p build-fuzz/corpus/$$target build-fuzz/crashes/$$target fuzz/corpus/$$target; \
	    echo "== $$target ($(FUZZ_TIME) s)"; \
	    if build-fuzz/bin/$$target -max_total_time=$(FUZZ_TIME) -print_final_stats=1 \
	           -artifact_prefix=build-fuzz/crashes/$$target/ \
	           build-fuzz/corpus/$$target fuzz/corpus/$$target >build-fuzz/$$target.log 2>&1; then \
	        grep -E '^(Done|stat::number_of_executed_units)' build-fuzz/$$target.log | head -1; \
	    else \
	        tail -n 40 build-fuzz/$$target.log; \
	        for input in build-fuzz/crashes/$$target/*; do \
	            [ -f "$$input" ] && cp "$$input" fuzz/corpus/$$target/ && \
	                echo "added to the corpus: fuzz/corpus/$$target/$$(basename $$input)"; \
	        done; \
	        echo "$$target failed (log: build-fuzz/$$target.log)" >&2; exit 1; \
	    fi; \
	done

# Static analysis, all of which must be clean: clang-tidy (the checks of .clang-tidy) over the
# sources of src/ and tools/ and the headers they include, from the compile commands of a tree
# configured with clang in build-lint (configured only, not built: clang reads GCC-only flags
# such as -fno-gnu-unique as errors); cppcheck over src/, include/ and tools/ (a finding is kept
# only as an inline suppression with its reason beside it); and clang-format over every C and
# C++ file of the repository.
LINT_SOURCES = $(shell find bench examples fuzz include src tests tools -name '*.cpp' -o -name '*.h' -o -name '*.c' | sort)
CPPCHECK_FLAGS := --error-exitcode=1 --enable=warning,performance,portability --inline-suppr \
                  --quiet --std=c++17 -I include -I tools

lint: prerequisites
	cmake -S . -B build-lint -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(CMAKE_FLAGS) >/dev/null
	@echo "== clang-tidy"
	@run-clang-tidy -p build-lint -quiet -j $(JOBS) '$(CURDIR)/(src|tools)/[^/]*\.cpp$$' \
	    >build-lint/clang-tidy.log 2>&1 || { cat build-lint/clang-tidy.log; exit 1; }; \
	if grep -E '(warning|error):' build-lint/clang-tidy.log; then exit 1; fi
	@echo "== cppcheck"
	cppcheck $(CPPCHECK_FLAGS) src include tools
	@echo "== clang-format"
	clang-format --dry-run -Werror $(LINT_SOURCES)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-lint
