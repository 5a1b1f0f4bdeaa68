#!/usr/bin/env bash
# Packs the cross-built divovod.exe for Windows users: a zip with the program, the README, the
# licence and the man page as plain text, the texts with Windows line ends.
#
#   bash scripts/windows-package.sh BUILD_DIR      (make windows-package builds it first)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
name=divovod-$version-windows-x86_64
stage=$(mktemp -d "${TMPDIR:-/tmp}/divovod-zip.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"

crlf() { sed 's/$/\r/' "$1" >"$2"; }
cp "$build/divovod.exe" "$stage/$name/"
crlf README.md "$stage/$name/README.txt"
crlf LICENSE "$stage/$name/LICENSE.txt"
crlf docs/user-guide.md "$stage/$name/user-guide.txt"
crlf docs/episode-format.md "$stage/$name/episode-format.txt"
# -P-cbou: plain characters, no bold or underline by overstriking, so any editor shows it.
groff -man -Tascii -P-cbou docs/divovod.1 >"$stage/divovod.txt"
crlf "$stage/divovod.txt" "$stage/$name/divovod.txt"

zip_file=$PWD/$build/$name.zip
rm -f "$zip_file"
(cd "$stage" && zip -q -X -r "$zip_file" "$name")
unzip -l "$zip_file"
echo "windows-package: $zip_file"
