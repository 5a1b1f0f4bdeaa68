# The two commands of the README: `make run` and `make test`. Everything else is a helper.
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-release test-asan bench format clean fuzz fuzz-ci windows-check

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/divovod

test: test-release test-asan

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDIVOVOD_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DDIVOVOD_BUILD_BENCH=ON -DDIVOVOD_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target import_bench build_bench
	$(BENCH_BUILD)/bench/import_bench
	$(BENCH_BUILD)/bench/build_bench

windows-check:
	JOBS=$(JOBS) bash scripts/windows-check.sh

# Fuzzing, with clang in its own build folder: FUZZ_SECONDS per target (make fuzz keeps its corpus
# in build-fuzz; fuzz-ci writes only to a scratch folder and fails on any finding).
fuzz:
	bash scripts/fuzz.sh --seconds $(or $(FUZZ_SECONDS),180)

fuzz-ci:
	bash scripts/fuzz.sh --ci --seconds $(or $(FUZZ_SECONDS),60)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) build-windows build-fuzz
