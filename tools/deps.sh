#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one is missing.
# `tools/deps.sh cross` installs the 32-bit Windows cross compiler instead (tools/cross-build.sh).
set -euo pipefail
if [ "${1:-}" = cross ]; then
  pkgs=(cmake ninja-build g++-mingw-w64-i686-posix)
else
  pkgs=(cmake ninja-build g++ clang-format libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
        libfftw3-dev libkissfft-dev libsoxr-dev libsamplerate0-dev python3-mpmath libmpfr-dev python3-numpy python3-scipy
        qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev qml-module-qtquick2 qml-module-qtquick-window2
        qml-module-qtquick-controls2 libhidapi-dev pkgconf fonts-dejavu-core xvfb xauth trayer imagemagick locales)
  # The 32-bit x86 compiler that checks every SIMD variant source builds without a SIMD baseline.
  pkgs+=(g++-i686-linux-gnu)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# The panel's answer parsing is tested under a German locale (decimal comma).
if [ "${1:-}" != cross ] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
