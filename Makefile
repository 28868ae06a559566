# Developer entry points. `make test` is what CI runs: it installs what is missing, builds and
# runs every test. Sanitizer builds live in their own build directories.

BUILD      ?= build
GENERATOR  := -G Ninja $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
JOBS       ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure --timeout 300 -j $(JOBS)

.PHONY: all deps build test coverage bench bench-agent bench-kernel fuzz asan tsan run format tidy clean package

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

# The Debian package (orv-agent_<version>_<arch>.deb) in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

bench: deps
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target orv_bench
	build-bench/bin/orv_bench $(BENCH_ARGS)

bench-agent: deps
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target orv_agent_bench
	build-bench/bin/orv_agent_bench $(BENCH_RATES)

# The kernel flow source's speed driver (as root): BENCH_KERNEL="TCP/s UDP/s seconds".
bench-kernel: deps
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target orv_kernel_flow_bench
	build-bench/bin/orv_kernel_flow_bench $(BENCH_KERNEL)

# Each fuzz target runs for FUZZ_SECONDS (default 60) on its own corpus under build-fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz: deps
	scripts/install-deps --fuzz
	CXX=clang++ cmake -S . -B build-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_BUILD_TESTS=OFF -DORV_BUILD_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)
	@for target in build-fuzz/bin/fuzz_*; do \
	  name=$$(basename $$target); mkdir -p build-fuzz/corpus/$$name; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  $$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 build-fuzz/corpus/$$name || exit 1; \
	done

asan: deps
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE_ADDRESS=ON
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan $(CTEST_ARGS)

# Line and branch coverage of src/ by the whole suite, from an instrumented build in build-cov.
# Exceptions' hidden branches are left out: they say nothing about which cases the tests reach.
coverage: deps
	scripts/install-deps --coverage
	cmake -S . -B build-cov $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DORV_COVERAGE=ON
	cmake --build build-cov -j $(JOBS)
	find build-cov -name '*.gcda' -delete
	ctest --test-dir build-cov $(CTEST_ARGS)
	gcovr --root . --filter 'src/' --exclude-throw-branches --exclude-unreachable-branches \
	  --print-summary --txt build-cov/coverage.txt build-cov
	@echo "Per-file figures: build-cov/coverage.txt"

tsan: deps
	cmake -S . -B build-tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE_THREAD=ON
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan $(CTEST_ARGS)

# The demo: the agent and orv-collect on an embedded default profile, printing decoded records.
run: deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target oborvagent orv-collect orv-vpnstate orv-context
	BUILD=$(BUILD) scripts/run-demo

format:
	scripts/install-deps --lint
	find src tests bench tools -name '*.h' -o -name '*.cpp' 2>/dev/null | xargs -r clang-format -i

tidy: build
	scripts/install-deps --lint
	find src -name '*.cpp' | xargs -r clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf build build-bench build-fuzz build-asan build-tsan build-cov
