# The two everyday commands: `make run` (build, then the library's main job through the tool)
# and `make test` (build, then the whole test suite). `make bench` runs the benchmarks.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages the build needs, and a command each provides.
PACKAGES := cmake:cmake g++:g++ make:make pkg-config:pkg-config python3:python3 \
            libgtest-dev:/usr/include/gtest/gtest.h libgmock-dev:/usr/include/gmock/gmock.h \
            libbenchmark-dev:/usr/include/benchmark/benchmark.h

.PHONY: all build run test bench sanitize prerequisites clean

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

clean:
	rm -rf $(BUILD) build-asan build-tsan
