# The two commands of the README: `make run` and `make test`. Everything else is a helper.
# Each goal first installs the Debian packages it needs that are missing (scripts/prerequisites.sh
# says which; elsewhere it stops with the command to run).
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

# What each goal needs, by Debian package name.
BUILD_PACKAGES   := cmake g++ make pkgconf zlib1g-dev nlohmann-json3-dev libspng-dev libedit-dev
# The end-to-end tests drive the program in tmux with pictures from ImageMagick, netpbm and
# Pillow; strace serves the tests that look at the system calls the program makes.
TEST_PACKAGES    := $(BUILD_PACKAGES) libgtest-dev python3 tmux imagemagick strace netpbm python3-pil
WINDOWS_PACKAGES := $(BUILD_PACKAGES) g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 \
                    imagemagick bsdutils python3
FUZZ_PACKAGES    := $(BUILD_PACKAGES) clang libclang-rt-14-dev
BENCH_PACKAGES   := $(BUILD_PACKAGES) libbenchmark-dev
PREREQUISITES    := bash scripts/prerequisites.sh

.PHONY: all build compile run test test-release test-asan bench format clean fuzz fuzz-ci \
        windows-check

all: build

build:
	@$(PREREQUISITES) $(BUILD_PACKAGES)
	@$(MAKE) --no-print-directory compile

compile:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/divovod

test:
	@$(PREREQUISITES) $(TEST_PACKAGES)
	@$(MAKE) --no-print-directory test-release
	@$(MAKE) --no-print-directory test-asan

test-release: compile
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDIVOVOD_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench:
	@$(PREREQUISITES) $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DDIVOVOD_BUILD_BENCH=ON -DDIVOVOD_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target import_bench build_bench colour_bench
	$(BENCH_BUILD)/bench/import_bench
	$(BENCH_BUILD)/bench/build_bench
	$(BENCH_BUILD)/bench/colour_bench

# Cross-builds for Windows and runs it under wine, compared with the Linux build's files.
windows-check:
	@$(PREREQUISITES) $(WINDOWS_PACKAGES)
	@$(MAKE) --no-print-directory compile
	JOBS=$(JOBS) LINUX_PROGRAM=$(BUILD)/divovod bash scripts/windows-check.sh

# Fuzzing, with clang in its own build folder: FUZZ_SECONDS per target (make fuzz keeps its corpus
# in build-fuzz; fuzz-ci writes only to a scratch folder and fails on any finding).
fuzz:
	@$(PREREQUISITES) $(FUZZ_PACKAGES)
	bash scripts/fuzz.sh --seconds $(or $(FUZZ_SECONDS),180)

fuzz-ci:
	@$(PREREQUISITES) $(FUZZ_PACKAGES)
	bash scripts/fuzz.sh --ci --seconds $(or $(FUZZ_SECONDS),60)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) build-windows build-fuzz
