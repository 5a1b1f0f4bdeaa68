# The two commands of the README: `make run` and `make test`. Everything else is a helper.
# Each goal first installs the Debian packages it needs that are missing (scripts/prerequisites.sh
# says which; elsewhere it stops with the command to run).
# `make run` and `make build` build the program alone in $(BUILD), so they need none of the test
# tools; the tests have their own build folders.
BUILD      ?= build
TEST_BUILD ?= build-tests
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
PACKAGE_BUILD ?= build-package
WINDOWS_BUILD ?= build-windows
PREFIX     ?= /usr/local
DESTDIR    ?=
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

# What each goal needs, by Debian package name.
BUILD_PACKAGES   := cmake g++ make pkgconf zlib1g-dev nlohmann-json3-dev libtoml11-dev libspng-dev \
                    libedit-dev libisal-dev
# The end-to-end tests drive the program in tmux with pictures from ImageMagick, netpbm and
# Pillow; strace serves the tests that look at the system calls the program makes.
TEST_PACKAGES    := $(BUILD_PACKAGES) libgtest-dev python3 tmux imagemagick strace netpbm python3-pil \
                    groff-base bash
WINDOWS_PACKAGES := $(BUILD_PACKAGES) g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 \
                    imagemagick bsdutils python3 python3-pil
FUZZ_PACKAGES    := $(BUILD_PACKAGES) clang libclang-rt-14-dev
# The man page is checked with groff; the Debian package is made with dpkg-shlibdeps and checked
# with lintian; the Windows zip has the man page as plain text.
PACKAGE_PACKAGES := $(BUILD_PACKAGES) dpkg-dev lintian groff-base file
WINDOWS_PACKAGE_PACKAGES := $(BUILD_PACKAGES) g++-mingw-w64-x86-64 libz-mingw-w64-dev groff-base zip unzip
# colour_bench compares the mapping with Pillow's.
BENCH_PACKAGES   := $(BUILD_PACKAGES) libbenchmark-dev python3 python3-pil
PREREQUISITES    := bash scripts/prerequisites.sh

.PHONY: all build compile run install test test-release test-asan bench format clean fuzz fuzz-ci \
        windows-check package package-check windows-package program-alone-check

all: build

build:
	@$(PREREQUISITES) $(BUILD_PACKAGES)
	@$(MAKE) --no-print-directory compile

compile:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DDIVOVOD_BUILD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/divovod

# bin/divovod, its man page, its bash completion and its documents under $(DESTDIR)$(PREFIX).
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

test:
	@$(PREREQUISITES) $(TEST_PACKAGES)
	@$(MAKE) --no-print-directory test-release
	@$(MAKE) --no-print-directory test-asan

test-release:
	cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(TEST_BUILD) -j $(JOBS)
	ctest --test-dir $(TEST_BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDIVOVOD_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench:
	@$(PREREQUISITES) $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DDIVOVOD_BUILD_BENCH=ON -DDIVOVOD_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target import_bench build_bench colour_bench manifest_bench
	@status=0; \
	for bench in import_bench build_bench colour_bench manifest_bench; do \
	  echo "== $$bench"; $(BENCH_BUILD)/bench/$$bench || status=1; \
	done; exit $$status

# The Debian package, made by CPack in its own build folder and checked with lintian; then
# package-check unpacks it into a scratch root and runs what it holds.
package:
	@$(PREREQUISITES) $(PACKAGE_PACKAGES)
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DDIVOVOD_BUILD_TESTS=OFF \
	  -DDIVOVOD_DEBIAN_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB
	lintian --fail-on error $(PACKAGE_BUILD)/divovod_*.deb

package-check: package
	bash scripts/package-check.sh $(PACKAGE_BUILD)/divovod_*.deb

# divovod.exe (cross-built, static, stripped) in a zip with the README, the licence and the man
# page as plain text, all with Windows line ends.
windows-package:
	@$(PREREQUISITES) $(WINDOWS_PACKAGE_PACKAGES)
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target divovod
	bash scripts/windows-package.sh $(WINDOWS_BUILD)

# make build from a clean copy of this checkout, with GoogleTest, Google Benchmark and Pillow
# hidden from it, proves that the program needs none of them (root: a private mount namespace).
program-alone-check:
	bash scripts/program-alone-check.sh

# Cross-builds for Windows and runs it under wine, compared with the Linux build's files.
windows-check:
	@$(PREREQUISITES) $(WINDOWS_PACKAGES)
	@$(MAKE) --no-print-directory compile
	JOBS=$(JOBS) WINDOWS_BUILD=$(WINDOWS_BUILD) LINUX_PROGRAM=$(BUILD)/divovod \
	  bash scripts/windows-check.sh

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
	rm -rf $(BUILD) $(TEST_BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(PACKAGE_BUILD) $(WINDOWS_BUILD) \
	  build-fuzz
