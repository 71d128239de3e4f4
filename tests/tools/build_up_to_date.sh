#!/usr/bin/env bash
# tools/build.sh --up-to-date over a small project whose sources are globbed, as the system's are:
# it holds when nothing is left to build, and not after a source, a CMake file or a globbed folder
# changed. (./run decides on it whether to wait for every other ./run and ./test.)
set -euo pipefail
src=$1
s=$(mktemp -d)
trap 'rm -rf "$s"' EXIT
mkdir -p "$s/p"
cat >"$s/p/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(p C)
file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
add_executable(p ${srcs})
CMAKE
echo 'int main(void) { return 0; }' >"$s/p/main.c"
cmake -S "$s/p" -B "$s/b" -G Ninja >/dev/null
build() { ninja -C "$s/b" >/dev/null 2>&1; }
up_to_date() { "$src/tools/build.sh" --up-to-date "$s/b"; }
fail() {
  echo "FAIL: $*"
  exit 1
}
up_to_date && fail "a folder with nothing built yet counts as up to date"
build
up_to_date || fail "a built folder does not count as up to date"
up_to_date || fail "the check itself left something to build"
touch "$s/p/main.c"
up_to_date && fail "a changed source counts as up to date"
build
up_to_date || fail "the rebuilt folder does not count as up to date"
touch "$s/p/CMakeLists.txt"
up_to_date && fail "a changed CMake file counts as up to date"
build
up_to_date || fail "the regenerated folder does not count as up to date"
echo 'int helper(void) { return 1; }' >"$s/p/helper.c"
up_to_date && fail "a source added to a globbed folder counts as up to date"
build
up_to_date || fail "the folder with the added source does not count as up to date"
[ -z "$(find "$s/b" -maxdepth 1 -name '.up-to-date.*')" ] || fail "the check left its copy of the build file"
echo "up to date exactly when nothing is left to build"
