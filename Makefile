# The two everyday commands: `make run` (build, then the library's main job through the tool)
# and `make test` (build, then the whole test suite). `make bench` runs the benchmarks.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages the build needs, and a command each provides.
PACKAGES := cmake:cmake g++:g++ make:make pkg-config:pkg-config python3:python3 \
            libgtest-dev:/usr/include/gtest/gtest.h libgmock-dev:/usr/include/gmock/gmock.h \
            libbenchmark-dev:/usr/include/benchmark/benchmark.h

.PHONY: all build run test bench sanitize memcheck prerequisites clean

all: build

prerequisites:
	@missing=""; \
	for entry in $(PACKAGES); do \
	    pkg=$${entry%%:*}; probe=$${entry#*:}; \
	    case $$probe in /*) test -e $$probe ;; *) command -v $$probe >/dev/null 2>&1 ;; esac \
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
# and every child it forks (runInChild, the fault-injection children), ends with a leak check;
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

clean:
	rm -rf $(BUILD) build-asan build-tsan
