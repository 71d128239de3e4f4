#!/usr/bin/env bash
# tools/build.sh <build-dir> [cmake options...]: configure once, then build.
# ZELKO_JOBS caps the parallel jobs (default: every core); ccache is used when present.
# tools/build.sh --up-to-date <build-dir>: succeeds when the folder is configured and has nothing to build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$1" = --up-to-date ]; then
  [ -f "$2/build.ninja" ] && ninja -C "$2" -n 2>/dev/null | tail -n 1 | grep -q 'no work to do'
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
