#!/usr/bin/env bash
# tools/build.sh <build-dir> [cmake options...]: configure once, then build.
# ZELKO_JOBS caps the parallel jobs (default: every core); ccache is used when present.
# tools/build.sh --up-to-date <build-dir>: succeeds when the folder is configured and has nothing to build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$1" = --up-to-date ]; then
  [ -f "$2/build.ninja" ] || exit 1
  # A dry run of the build file as it is never gets past its own regeneration, which the check of
  # the globbed folders forces every time. So that check runs for real (on a change it only marks
  # the folder for regeneration), and the dry run reads a copy without the forcing input, which
  # still regenerates when a CMake file or a globbed folder changed.
  globs=$2/CMakeFiles/VerifyGlobs.cmake
  if [ -f "$globs" ]; then cmake -P "$globs" >/dev/null 2>&1 || exit 1; fi
  copy=$(mktemp "$2/.up-to-date.XXXXXX")
  trap 'rm -f "$copy"' EXIT
  sed 's#^\(build [^ ]*/CMakeFiles/cmake\.verify_globs: VERIFY_GLOBS\) | .*$#\1#' "$2/build.ninja" >"$copy"
  ninja -C "$2" -f "$(basename "$copy")" -n build.ninja all 2>/dev/null | tail -n 1 | grep -q 'no work to do'
  exit
fi
dir=$1; shift
"$root/tools/deps.sh"
if [ ! -f "$dir/build.ninja" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" "$@" >/dev/null
fi
cmake --build "$dir" -j"${ZELKO_JOBS:-$(nproc)}"
