#!/usr/bin/env bash
# Unpacks the Debian package into a scratch root (nothing is installed on this machine) and
# checks what a user would get: the program runs and says its version, the man page and the
# completion are where man and bash look, and Depends names the shared libraries it links.
#
#   bash scripts/package-check.sh build-package/divovod_VERSION_ARCH.deb
set -euo pipefail

package=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/divovod-package.XXXXXX")
trap 'rm -rf "$root"' EXIT

dpkg -x "$package" "$root"
failed=0
check() {
  if "${@:2}"; then echo "PASS  $1"; else echo "FAIL  $1"; failed=1; fi
}

version=$("$root/usr/bin/divovod" --version)
check "the unpacked divovod --version says: $version" grep -qE '^divovod [0-9]+\.[0-9]+\.[0-9]+' <<<"$version"
for file in usr/share/man/man1/divovod.1.gz usr/share/bash-completion/completions/divovod \
  usr/share/doc/divovod/copyright usr/share/doc/divovod/changelog.gz; do
  check "$file is there" test -f "$root/$file"
done
check "the man page is gzipped" gzip -t "$root/usr/share/man/man1/divovod.1.gz"
# Every shared library the program links comes from a package that Depends names.
depends=$(dpkg-deb -f "$package" Depends)
echo "      Depends: $depends"
# dpkg knows a library by the path its package put it at (/lib or /usr/lib), so both are asked.
owner_of() {
  local path real
  path=$(ldconfig -p | awk -v name="$1" '$1 == name && /x86-64/ && !found { print $NF; found = 1 }')
  [[ -n $path ]] || return 0
  real=$(readlink -f "$path")
  for candidate in "$(dirname "$path")/$(basename "$real")" "$real" "$path"; do
    dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p' | grep . && return 0
  done
  return 0
}
for library in $(objdump -p "$root/usr/bin/divovod" | awk '$1 == "NEEDED" { print $2 }'); do
  owner=$(owner_of "$library")
  check "$library (from ${owner:-no package}) is in Depends" grep -qw -- "${owner:-no package}" <<<"$depends"
done
check "zlib1g is in Depends" grep -qw zlib1g <<<"$depends"
check "section and maintainer are set" test -n "$(dpkg-deb -f "$package" Section Maintainer)"
exit $failed
