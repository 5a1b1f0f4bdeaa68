#!/usr/bin/env bash
# Proves that `make build` (what `make run` starts) needs only the program's own packages: a clean
# clone of this checkout is built in a private mount namespace in which GoogleTest, Google
# Benchmark and Pillow are hidden under empty folders. Needs root for the namespace; without it
# the check says so and is skipped.
#
#   make program-alone-check
set -euo pipefail
cd "$(dirname "$0")/.."

if ((EUID != 0)) || ! command -v unshare >/dev/null; then
  echo "program-alone-check: SKIP (needs root and unshare to hide the test tools)"
  exit 0
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/divovod-alone.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
git clone -q "$PWD" "$scratch/divovod"

hidden=()
for path in /usr/include/gtest /usr/include/gmock /usr/src/googletest /usr/src/gtest \
  /usr/include/benchmark /usr/lib/x86_64-linux-gnu/cmake/GTest \
  /usr/lib/x86_64-linux-gnu/cmake/benchmark /usr/lib/python3/dist-packages/PIL; do
  [[ -d $path && ! -L $path ]] && hidden+=("$path")
done

# Inside: each folder hidden under an empty tmpfs, then the hiding checked, then make build.
unshare --mount --propagation private bash -euo pipefail -c '
  for path in "$@"; do mount -t tmpfs -o ro,size=1k divovod-hidden "$path"; done
  if [[ -e /usr/include/gtest/gtest.h ]] || /usr/bin/python3 -c "from PIL import Image" 2>/dev/null; then
    echo "program-alone-check: FAIL (the test tools are still visible)"; exit 1
  fi
  cd "'"$scratch"'/divovod"
  make build >build.log 2>&1 || { tail -n 30 build.log; exit 1; }
  ./build/divovod --version
' program-alone-check "${hidden[@]}"
echo "program-alone-check: PASS (make build from a clean clone with ${hidden[*]} hidden)"
