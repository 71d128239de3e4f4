#!/usr/bin/env bash
# tools/test-i686.sh [ctest options...]: builds and runs the whole suite as a 32-bit x86 program, as
# the target runs the system (toolchain tools/i686-linux.cmake, build folder build-i686/).
# The test-only peers come as i386 packages unpacked into build-i686/peers, never installed; a test
# whose peer cannot be fetched is left out. The Qt and hidapi parts are left out. What is left out
# is printed before the tests run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${ZELKO_I686_BUILD:-$root/build-i686}
peers=$dir/peers
# FFTW, MPFR, GMP and libsoxr: the libraries, and the -dev packages for the link names and the
# headers (GMP's differs per architecture).
packages=(libfftw3-double3 libfftw3-single3 libfftw3-dev libmpfr6 libmpfr-dev libgmp10 libgmp-dev libsoxr0 libsoxr-dev)

# A private package index for i386 alone: the system's apt state and architectures stay as they are.
fetch_peers() {
  local apt=$dir/apt
  local opts=(-q -o APT::Architecture=i386 -o APT::Architectures::=i386 -o Dir::State::Lists="$apt/lists"
              -o Dir::Cache="$apt/cache" -o Dir::State::status=/dev/null -o APT::Sandbox::User=root)
  local missing=0
  rm -rf "$apt" "$peers"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs" "$peers"
  # An index that cannot be fetched is an error, not a warning over an empty index.
  apt-get "${opts[@]}" -o APT::Update::Error-Mode=any update >/dev/null || return 1
  # All at once; if one is missing, each on its own, so the others still arrive.
  if ! (cd "$apt/debs" && apt-get "${opts[@]}" download "${packages[@]}" >/dev/null 2>&1); then
    for p in "${packages[@]}"; do
      if ! (cd "$apt/debs" && apt-get "${opts[@]}" download "$p" >/dev/null 2>&1); then
        echo "i686: could not fetch $p:i386"
        missing=1
      fi
    done
  fi
  for deb in "$apt/debs"/*.deb; do
    if [ -f "$deb" ] && ! dpkg -x "$deb" "$peers"; then
      echo "i686: could not unpack $(basename "$deb")"
      missing=1
    fi
  done
  rm -rf "$apt"
  # Only a complete set is kept: after a failure, the next run fetches again.
  if [ $missing -eq 0 ]; then echo "${packages[*]}" >"$peers/.packages"; fi
}

t=$SECONDS
if [ "$(cat "$peers/.packages" 2>/dev/null)" != "${packages[*]}" ]; then
  fetch_peers || echo "i686: the i386 package index could not be fetched; the tests that need peers are left out"
  mkdir -p "$peers"
  # Configured afresh: the libraries found in the old peers are cached by path, and tests left out
  # for want of a peer come back once it is there.
  rm -f "$dir/CMakeCache.txt" "$dir/build.ninja"
fi

# Optimised as the 64-bit build is, without debug information: the build is this stage's cost. A
# warning fails it: one only 32 bits show (a shift past the width of size_t) is a fault there.
"$root/tools/build.sh" "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/tools/i686-linux.cmake" -DZELKO_I686_PEERS="$peers" \
  -DZELKO_QT=OFF -DZELKO_BENCH=OFF -DZELKO_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"
echo "i686 build: $((SECONDS - t)) s"
echo "i686: left out of the 32-bit suite:"
sed 's/^/  /' "$dir/left_out.txt"
echo
t=$SECONDS
(cd "$dir" && ctest --output-on-failure -j"${ZELKO_JOBS:-$(nproc)}" "$@")
echo "i686 tests: $((SECONDS - t)) s"
