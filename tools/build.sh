#!/usr/bin/env bash
# tools/build.sh <build-dir> [cmake options...]: configure once, then build with every core.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
"$root/tools/deps.sh"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)"
