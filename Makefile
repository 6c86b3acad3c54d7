# Thin front end over CMake. `make test` and `make demo` work on a fresh
# Debian 12 machine: missing Debian packages are installed first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo clean bench test-sanitize test-valgrind fuzz \
  test-generic-blas package bench-python format format-check

all: build

deps:
	@./scripts/install-deps.sh

# Its output names the BLAS and LAPACK that the build uses ("BLAS and
# LAPACK (OpenBLAS): ...").
configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The whole suite again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer in a directory of its own; a report ends the
# test that caused it, so the suite fails. The exit code of a report is one
# that no program of ours uses, so that a test expecting a program to fail
# still sees a report in it.
SANITIZE_BUILD_DIR ?= build-asan
SANITIZE_ENV = ASAN_OPTIONS=detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:exitcode=86 \
  UBSAN_OPTIONS=print_stacktrace=1:exitcode=86
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZUB_FEEDBACK_SANITIZE=ON -DZUB_FEEDBACK_BUILD_BENCHMARKS=OFF \
	  -DZUB_FEEDBACK_INSTALL=OFF >/dev/null
	@cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS)
	@cd $(SANITIZE_BUILD_DIR) && $(SANITIZE_ENV) ctest --output-on-failure -j $(JOBS)

# The plain build's test programs under valgrind's memcheck
# (scripts/memcheck.sh; suppressions in tests/valgrind.supp).
test-valgrind: build
	@./scripts/install-deps.sh valgrind
	@./scripts/memcheck.sh $(BUILD_DIR)

# libFuzzer targets (fuzz/), built with clang, ASan and UBSan in their own
# directory, each run for FUZZ_SECONDS from the seed corpus in fuzz/corpus/.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/install-deps.sh fuzz
	@cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DZUB_FEEDBACK_BUILD_FUZZERS=ON \
	  -DZUB_FEEDBACK_BUILD_TESTS=OFF -DZUB_FEEDBACK_BUILD_BENCHMARKS=OFF \
	  -DZUB_FEEDBACK_BUILD_EXAMPLES=OFF -DZUB_FEEDBACK_BUILD_TOOLS=OFF \
	  -DZUB_FEEDBACK_INSTALL=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzzers
	@./scripts/run-fuzzers.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS)

# The library and its unit tests built against the BLAS and LAPACK that
# CMake's FindBLAS calls Generic (Debian's libblas-dev and liblapack-dev), in
# a directory of their own, and run with Debian's reference implementations:
# libblas.so.3 and liblapack.so.3 are alternatives that point at OpenBLAS
# when it is installed, so the reference ones are put ahead of them.
GENERIC_BUILD_DIR ?= build-generic
MULTIARCH = $(shell dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
REFERENCE_BLAS = /usr/lib/$(MULTIARCH)/blas:/usr/lib/$(MULTIARCH)/lapack
test-generic-blas: deps
	@cmake -S . -B $(GENERIC_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBLA_VENDOR=Generic -DZUB_FEEDBACK_BUILD_TOOLS=OFF \
	  -DZUB_FEEDBACK_BUILD_EXAMPLES=OFF -DZUB_FEEDBACK_BUILD_BENCHMARKS=OFF \
	  -DZUB_FEEDBACK_INSTALL=OFF >/dev/null
	@cmake --build $(GENERIC_BUILD_DIR) -j $(JOBS)
	@cd $(GENERIC_BUILD_DIR) && LD_LIBRARY_PATH=$(REFERENCE_BLAS) \
	  ctest --output-on-failure -j $(JOBS)

# Debian packages (CPack) in build-package/, built with Debian's hardening
# flags: zub-feedback, python3-zub-feedback (the Python module) and, when
# built against the bundled framework stand-in, zub-feedback-karst-standin. A server's package is built against
# its real framework:
#   make package PACKAGE_ARGS="-DZUB_FEEDBACK_USE_INSTALLED_KARST=ON -DCMAKE_PREFIX_PATH=/opt/karst"
PACKAGE_BUILD_DIR ?= build-package
PACKAGE_ARGS ?=
package:
	@./scripts/install-deps.sh package
	@export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	  CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B $(PACKAGE_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=/usr -DZUB_FEEDBACK_BUILD_TESTS=OFF \
	  -DZUB_FEEDBACK_BUILD_BENCHMARKS=OFF -DZUB_FEEDBACK_BUILD_EXAMPLES=OFF \
	  $(PACKAGE_ARGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD_DIR) -j $(JOBS)
	@cd $(PACKAGE_BUILD_DIR) && cpack -G DEB

# The benchmarks with one BLAS thread, so that each ratio compares like with
# like; the table of ratios comes last. BENCH_ARGS takes Google Benchmark's
# flags, e.g. BENCH_ARGS=--benchmark_filter=invert.
BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target zub_bench
	@cd $(BUILD_DIR) && OPENBLAS_NUM_THREADS=1 GOTO_NUM_THREADS=1 \
	  OMP_NUM_THREADS=1 ./bench/zub_bench $(BENCH_ARGS)

# invert through the Python module beside the same call from C++, on one
# 500 x 250 matrix in one run, with one BLAS thread (bench/python_invert.py),
# under the interpreter the module was built for.
bench-python: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target invert_timing zub_feedback_python
	@"$$(sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' $(BUILD_DIR)/CMakeCache.txt)" \
	  bench/python_invert.py $(BUILD_DIR)

# The feedback demo on the shipped beamline matrix, with its picture in
# the build directory; DEMO_ARGS takes the demo's options (DEMO_ARGS=--help
# lists them, a --svg of its own puts the picture elsewhere).
DEMO_ARGS ?=
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target feedback_demo
	@$(BUILD_DIR)/examples/feedback_demo --svg $(BUILD_DIR)/feedback_demo.svg $(DEMO_ARGS)

# Every C++ source in the tree formatted with .clang-format (Google style);
# format-check, run by CI, changes nothing and fails on any difference.
FORMAT_FILES = $(shell git ls-files '*.cc' '*.h')
format:
	@./scripts/install-deps.sh format
	@clang-format -i $(FORMAT_FILES)
format-check:
	@./scripts/install-deps.sh format
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	@rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) $(FUZZ_BUILD_DIR) \
	  $(GENERIC_BUILD_DIR) $(PACKAGE_BUILD_DIR)
