#!/usr/bin/env bash
# Compiles every SIMD variant source for 32-bit x86 with no SIMD baseline and the 32-bit kernel's
# 4-byte stack alignment: each kernel must carry its own level in its target attribute and rely on
# nothing the baseline lacks. Compile only; nothing runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${I686_CXX:-i686-linux-gnu-g++}
n=0
for src in "$root"/dsp/core/simd/*.cpp "$root"/dsp/fft/simd/*.cpp; do
  [ -f "$src" ] || continue
  "$cxx" -std=c++20 -O2 -march=i686 -mincoming-stack-boundary=2 -ffp-contract=off -Wall -Werror \
    -I"$root" -c "$src" -o /dev/null
  n=$((n + 1))
done
echo "i686 variant sources: $n compiled"
