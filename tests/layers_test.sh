#!/usr/bin/env bash
# The libraries' arrows only go down: a copy of the build files in which one library links a
# library above it (or the console links pictures) must fail to configure, naming the link, while
# the copy as it stands configures.
#   tests/layers_test.sh SOURCE_DIR
set -euo pipefail
source_dir="$1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

copy="$scratch/source"
mkdir -p "$copy"
cp -R "$source_dir"/CMakeLists.txt "$source_dir"/cmake "$source_dir"/src "$source_dir"/docs \
      "$source_dir"/packaging "$source_dir"/README.md "$source_dir"/LICENSE "$copy"/

configure() {
  cmake -S "$copy" -B "$scratch/build" -DDIVOVOD_BUILD_TESTS=OFF >"$scratch/log" 2>&1
}

if ! configure; then
  cat "$scratch/log"
  echo "FAIL: the build files as they stand do not configure"
  exit 1
fi

failures=0
# folder of the library, the library, the one of ours it must not link
while read -r folder library forbidden; do
  rm -rf "$scratch/build"
  cp "$source_dir/src/$folder/CMakeLists.txt" "$copy/src/$folder/CMakeLists.txt"
  echo "target_link_libraries($library PRIVATE $forbidden)" >>"$copy/src/$folder/CMakeLists.txt"
  if configure; then
    echo "FAIL: $library linking $forbidden configured"
    failures=$((failures + 1))
  elif ! grep -q "$library may not use $forbidden" "$scratch/log"; then
    cat "$scratch/log"
    echo "FAIL: $library linking $forbidden failed, but not for its link"
    failures=$((failures + 1))
  else
    echo "ok: $library may not use $forbidden"
  fi
  cp "$source_dir/src/$folder/CMakeLists.txt" "$copy/src/$folder/CMakeLists.txt"
done <<'CASES'
picture divovod_picture divovod_episode
system divovod_system divovod_picture
console divovod_console divovod_picture
console divovod_console_backend divovod_episode
episode divovod_episode divovod_wording
app/wording divovod_wording divovod_dialogue
app/user_text divovod_user_text divovod_picture
CASES
exit $((failures > 0))
