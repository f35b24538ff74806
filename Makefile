# The two everyday commands: `make run` builds the library and the tool, then shows the library's
# main job through the tool; `make test` builds what the tests need, then runs them all. `make
# bench` runs the benchmarks, `make docs` builds the API reference, `make sanitize` runs the tests
# under the sanitizers, `make memcheck` under valgrind, `make fuzz` the fuzz targets and `make lint`
# the static analysis. Each checks the Debian packages it needs itself (scripts/prerequisites.sh),
# installing them when run as root; the longer recipes are scripts in scripts/.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Debian packages, each with a command or a file that shows it installed.
CORE := cmake:cmake g++:g++ make:make
TESTING := $(CORE) libgtest-dev:/usr/include/gtest/gtest.h
prerequisites = scripts/prerequisites.sh $(1)
# Configures the build tree (quietly: errors still show) and builds the given targets, or all.
build = cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null && \
        cmake --build $(BUILD) -j $(JOBS) $(if $(1),--target $(1)) -- --no-print-directory

.PHONY: all run test test-fallbacks test-extras benchmarks bench bench-peers-build bench-peers docs \
        package sanitize memcheck fuzz lint clean

all:
	@$(call prerequisites,$(CORE))
	@$(call build,)

# The system record, the standard search directories, a lookup of the library itself with its
# trace, and the whole road from the record to a loaded library.
run:
	@$(call prerequisites,$(CORE))
	@$(call build,ostrel)
	$(BUILD)/bin/ostrel info
	$(BUILD)/bin/ostrel locate --domain lib --verbose libOstrel.so
	$(BUILD)/bin/ostrel road

# Everything but the benchmarks: the library, the tool, the test programs and the examples.
test:
	@$(call prerequisites,$(TESTING))
	@$(call build,)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The tests once more in build-fallbacks, built with OSTREL_FALLBACKS: every child starts through
# the library's own launcher, which closes its descriptors itself, and no process descriptors are
# used (every timed wait for a child takes the bounded fallback), as on systems that lack them.
test-fallbacks:
	@$(call prerequisites,$(TESTING))
	cmake -S . -B build-fallbacks -DOSTREL_FALLBACKS=ON -DOSTREL_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fallbacks -j $(JOBS) -- --no-print-directory
	ctest --test-dir build-fallbacks --output-on-failure -j $(JOBS) -E 'AndConsume$$'

# What a few tests use when it is there and leave out when it is not: a consumer built through
# pkg-config, and the manual page rendered by groff and found by man. CI installs them.
test-extras:
	@$(call prerequisites,pkg-config:pkg-config groff-base:groff man-db:man)

# The benchmark programs; `make bench` runs them and writes the table of ratios into
# docs/benchmarks.md and the chart docs/benchmarks.svg, then prints how long 200 ms time-outs take
# and how far past a 1 s limit Child::communicateFor returns while a grandchild holds the pipe.
benchmarks:
	@$(call prerequisites,$(CORE) libbenchmark-dev:/usr/include/benchmark/benchmark.h)
	@$(call build,benchmarks)

bench: benchmarks
	@$(call prerequisites,python3:python3 gnuplot-nox:gnuplot)
	python3 bench/ratios.py $(BUILD) --json $(BUILD)/bench.json
	python3 bench/chart.py $(BUILD)/bench.json docs/benchmarks.md docs/benchmarks.svg
	$(BUILD)/bin/TimeoutSpread
	$(BUILD)/bin/TalkSpread

# Ostrel against Poco, Boost and Qt 5 (bench/peers/, a CMake project of its own in $(PEER_BUILD)
# that builds the library from this tree): `make bench-peers-build` installs the peers' Debian
# packages and builds the programs, `make bench-peers` also runs them and writes the peers table
# into docs/benchmarks.md and the chart docs/benchmarks-peers.svg.
PEER_BUILD ?= build-peers
PEERS := $(CORE) libbenchmark-dev:/usr/include/benchmark/benchmark.h \
         libpoco-dev:/usr/include/Poco/Foundation.h libboost-dev:/usr/include/boost/version.hpp \
         'libboost-filesystem-dev:/usr/lib/*/libboost_filesystem.so' \
         'libboost-thread-dev:/usr/lib/*/libboost_thread.so' \
         'qtbase5-dev:/usr/lib/*/cmake/Qt5Core/Qt5CoreConfig.cmake'

bench-peers-build:
	@$(call prerequisites,$(PEERS))
	cmake -S bench/peers -B $(PEER_BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(PEER_BUILD) -j $(JOBS) -- --no-print-directory

bench-peers: bench-peers-build
	@$(call prerequisites,python3:python3 gnuplot-nox:gnuplot)
	python3 bench/peers/peers.py $(PEER_BUILD) docs/benchmarks.md docs/benchmarks-peers.svg

# The HTML API reference, from the public headers, docs/tour.md and the examples through
# docs/Doxyfile, lands in $(BUILD)/docs/html/index.html. Any public class, member or enumerator
# without a doc comment fails: Doxygen turns its warnings into errors and logs them, the log must
# stay empty, and docs/check_documented.py adds the enumerators Doxygen does not report. That
# script also fails when a free function or an example has no page linked from the main page;
# docs/check_snippets.py compiles every code snippet of the tour.
docs:
	@$(call prerequisites,$(CORE) doxygen:doxygen python3:python3)
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	rm -rf $(BUILD)/docs && mkdir -p $(BUILD)/docs
	OSTREL_DOCS_DIR=$(BUILD)/docs OSTREL_BUILD_DIR=$(BUILD) doxygen docs/Doxyfile
	@if [ -s $(BUILD)/docs/warnings.log ]; then cat $(BUILD)/docs/warnings.log >&2; exit 1; fi
	python3 docs/check_documented.py $(BUILD)/docs/xml
	python3 docs/check_snippets.py $(BUILD)
	@echo "API reference: $(BUILD)/docs/html/index.html"

# The Debian packages libostrel1 (library and tool) and libostrel-dev (headers, CMake package,
# pkg-config file), built for /usr in the multiarch layout in build-package/, then checked: their
# contents and dependencies, and a consumer built against them unpacked into a scratch root.
package:
	@$(call prerequisites,$(CORE) dpkg-dev:dpkg-shlibdeps file:file pkg-config:pkg-config)
	cmake -S . -B build-package -DCMAKE_INSTALL_PREFIX=/usr -DOSTREL_BUILD_TESTS=OFF \
	    -DOSTREL_BUILD_BENCH=OFF -DOSTREL_BUILD_EXAMPLES=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build-package -j $(JOBS) -- --no-print-directory
	cd build-package && cpack >/dev/null
	tests/install/consume.sh packages build-package
	@ls build-package/*.deb

sanitize:
	@$(call prerequisites,$(TESTING))
	scripts/sanitize.sh $(JOBS) $(CMAKE_FLAGS)

# The whole test suite once more under valgrind memcheck, in the normal tree: every test process,
# and every child it forks (inChild, the tool runs of ToolTest), ends with a leak check;
# any invalid access or definite or possible leak makes that process exit with 97, which fails
# its test. Programs that a test executes (the ostrel tool, /bin/sleep) run natively. The
# consumer tests and those labelled "compile" are left out (they only run the compiler). ctest's "Cannot find file
# DartConfiguration.tcl" lines are harmless: the checker is given on its command line.
# valgrind runs one thread at a time; --fair-sched=yes hands the turn round in order, where its
# default lets a thread that never blocks (a test's racing thread) take every turn.
VALGRIND_OPTIONS := --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite,possible \
                    --num-callers=30 --fair-sched=yes --suppressions=$(CURDIR)/tests/valgrind.supp

memcheck:
	@$(call prerequisites,$(TESTING) valgrind:valgrind)
	@$(call build,)
	ctest --test-dir $(BUILD) -T memcheck -j $(JOBS) -E 'AndConsume$$' -LE compile --output-on-failure \
	    --overwrite MemoryCheckCommand=$$(command -v valgrind) \
	    --overwrite "MemoryCheckCommandOptions=$(VALGRIND_OPTIONS)"

fuzz:
	@$(call prerequisites,$(CORE) clang:clang++ \
	    'libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a')
	scripts/fuzz.sh $(JOBS) $(CMAKE_FLAGS)

lint:
	@$(call prerequisites,$(CORE) clang:clang++ clang-tidy:run-clang-tidy cppcheck:cppcheck \
	    clang-format:clang-format)
	scripts/lint.sh $(JOBS) $(CMAKE_FLAGS)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fallbacks build-fuzz build-lint build-package \
	    $(PEER_BUILD)
