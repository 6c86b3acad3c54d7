# Thin front end over CMake. `make test` and `make demo` work on a fresh
# Debian 12 machine: missing Debian packages are installed first.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo clean bench

all: build

deps:
	@./tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The benchmarks with one BLAS thread, so that each ratio compares like with
# like; the table of ratios comes last. BENCH_ARGS takes Google Benchmark's
# flags, e.g. BENCH_ARGS=--benchmark_filter=invert.
BENCH_ARGS ?= --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
bench: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target zub_bench
	@cd $(BUILD_DIR) && OPENBLAS_NUM_THREADS=1 GOTO_NUM_THREADS=1 \
	  OMP_NUM_THREADS=1 ./bench/zub_bench $(BENCH_ARGS)

# The feedback demo on the shipped beamline matrix, with its picture;
# DEMO_ARGS takes the demo's options (DEMO_ARGS=--help lists them).
DEMO_ARGS ?= --svg $(BUILD_DIR)/feedback_demo.svg
demo: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target feedback_demo
	@$(BUILD_DIR)/examples/feedback_demo $(DEMO_ARGS)

clean:
	@rm -rf $(BUILD_DIR)
