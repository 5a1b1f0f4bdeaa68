#!/usr/bin/env bash
# Makes sure the Debian packages a make goal needs are installed, so that `make run` and
# `make test` are the whole set-up on a fresh Debian or Ubuntu machine.
#
#   bash scripts/prerequisites.sh PACKAGE...
#
# Installed already: says nothing. Missing, on Debian or Ubuntu: says which, and installs them
# with apt-get (through sudo when not root). Where that cannot be done (no apt-get, or neither
# root nor sudo): stops with exit status 1 and the one command to run.
set -euo pipefail

packages=("$@")
((${#packages[@]} > 0)) || exit 0

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  # Not Debian: the package names mean nothing here, so look for the tools themselves.
  for tool in cmake c++; do
    if ! command -v "$tool" >/dev/null; then
      echo "divovod: $tool is missing. Install CMake (3.25 or newer), a C++17 compiler and zlib" \
        "with this system's package manager, then run make again." >&2
      exit 1
    fi
  done
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
  [[ $status == ii* ]] || missing+=("$package")
done
((${#missing[@]} > 0)) || exit 0

# Each package once, in the order first named.
declare -A seen=()
unique=()
for package in "${missing[@]}"; do
  [[ -n ${seen[$package]:-} ]] && continue
  seen[$package]=1
  unique+=("$package")
done

install=(apt-get install -y --no-install-recommends "${unique[@]}")
if ((EUID == 0)); then
  run=()
elif command -v sudo >/dev/null; then
  run=(sudo)
else
  echo "divovod: missing Debian packages: ${unique[*]}" >&2
  echo "divovod: run as root, then make again:  ${install[*]}" >&2
  exit 1
fi

echo "divovod: installing the missing Debian packages: ${unique[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! "${run[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
  ! "${run[@]}" env DEBIAN_FRONTEND=noninteractive "${install[@]}"; then
  echo "divovod: the installation failed; to retry by hand:  ${run[*]} ${install[*]}" >&2
  exit 1
fi
