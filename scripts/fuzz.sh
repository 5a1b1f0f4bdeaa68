#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each in turn, starting from
# the committed corpus in tests/fuzz/corpus.
#
#   scripts/fuzz.sh [--ci] [--seconds N]
#
# By default each target keeps what it learns in $FUZZ_BUILD/corpus/<target> between runs
# (copy inputs worth keeping into tests/fuzz/corpus by hand). With --ci everything new goes to
# a scratch folder that is removed afterwards, so the work tree is never written to.
# A crash, a sanitizer report, a timeout or running out of memory stops the script with a
# non-zero status; the input is printed and kept as an artifact.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=180
ci=false
while [[ $# -gt 0 ]]; do
  case "$1" in
    --ci) ci=true ;;
    --seconds) seconds="$2"; shift ;;
    *) echo "usage: $0 [--ci] [--seconds N]" >&2; exit 2 ;;
  esac
  shift
done

build="${FUZZ_BUILD:-build-fuzz}"
jobs="$(nproc 2>/dev/null || echo 2)"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDIVOVOD_FUZZ=ON -DDIVOVOD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target bitmap_import_fuzzer key_decoder_fuzzer
cmake --build "$build" -j "$jobs" --target episode_reader_fuzzer manifest_fuzzer config_fuzzer
cmake --build "$build" -j "$jobs" --target png_import_fuzzer palette_file_fuzzer
# Only builds with ISA-L have a second inflater to hold to zlib's.
inflate=false
if grep -q '^ISAL_FOUND:INTERNAL=1' "$build/CMakeCache.txt"; then
  inflate=true
  cmake --build "$build" -j "$jobs" --target png_inflate_fuzzer
fi

if $ci; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
else
  work="$build"
fi

# target name, seed folder, longest input: big enough for a picture of a few hundred pixels or
# a few dozen keys, small enough that each run stays fast. Then, optionally, the resident memory
# limit and the largest single allocation, in MB (both 1024 unless given).
run() {
  local target="$1" seeds="tests/fuzz/corpus/$2" max_len="$3" seeds_dict="$2"
  local rss_mb="${4:-1024}" malloc_mb="${5:-${4:-1024}}"
  shift $(( $# < 5 ? $# : 5 ))
  local extra=("$@")  # further libFuzzer flags
  local corpus="$work/corpus/$target" artifacts="$work/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  echo "== $target: ${seconds}s from $seeds"
  local status=0
  "$build/tests/fuzz/${target}_fuzzer" "$corpus" "$seeds" \
    -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb="$rss_mb" -malloc_limit_mb="$malloc_mb" \
    -dict="tests/fuzz/$seeds_dict.dict" -artifact_prefix="$artifacts" -print_final_stats=1 \
    "${extra[@]}" || status=$?
  if [[ $status -ne 0 ]]; then
    for found in "$artifacts"*; do
      [[ -f "$found" ]] || continue
      echo "== finding: $found"
      od -A d -t x1 "$found" | head -40
    done
    echo "== $target failed (status $status)" >&2
    exit "$status"
  fi
}

# An RLE8 picture of 4096 bytes may claim at most 65536 + 256 x 4096 pixels, so the importer's
# blocks stay near 1 MB each: a single allocation past 8 MB, or 512 MB resident, is a finding.
run bitmap_import bitmap 4096 512 8
run key_decoder keys 512
# Manifests are a few hundred bytes; 4 KB holds several episodes and deep nesting.
run manifest manifest 4096
# Room for a few small pictures' streams: damage anywhere in a whole file.
run episode_reader episode 16384
# A PNG's image data inflates to at most some 1032 times its size: 8 KB of it to 8.4 MB of rows,
# which at one bit a pixel are 67 million pixels, their RGBA block 270 MB, and the memo.
run png_import png 8192 2048 512
run palette_file palette 8192
# Streams of image data up to 64 KB, which inflate to at most some 64 MB.
if $inflate; then run png_inflate inflate 65536; fi
# libFuzzer's length control keeps inputs small for a long while whatever -max_len says; with it
# off, large inputs (long RLE8 runs, big streams, sizes near the limits) are tried from the start;
# a picture of 1 MB may rightly need a few hundred MB.
run bitmap_import bitmap 1048576 2048 1024 -len_control=0
run episode_reader episode 1048576 1024 1024 -len_control=0
# A manifest (and the config file, read the same way) may be up to 1 MiB: the shapes that cost
# the parser most (long dotted keys, crowded lines, many keys, elements and tables) need room.
run manifest manifest 1048576 1024 1024 -len_control=0
run config config 1048576 1024 1024 -len_control=0
