#!/usr/bin/env bash
# tools/cross-build.sh [build-dir]: builds drvsetup.exe for 32-bit Windows against the platform's own
# headers and newdev library (warnings are errors), then checks the image without running it:
# a PE32 image, a console program, newdev's installation call imported, and only system DLLs imported.
# Needs `tools/deps.sh cross`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-win32}
objdump=i686-w64-mingw32-objdump

if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/tools/mingw-i686.cmake" \
    -DZELKO_INSTALLER_ONLY=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror >/dev/null
fi
cmake --build "$dir" -j"${ZELKO_JOBS:-$(nproc)}" --target drvsetup
exe="$dir/installer/drvsetup.exe"

fail() {
  echo "cross-build check failed: $*" >&2
  exit 1
}

# pei-i386 is the image format (pe-i386 would be an object file).
# Here-strings rather than pipes into grep -q: with pipefail, a writer cut off by grep's early exit
# would fail the check.
format=$("$objdump" -f "$exe")
grep -q 'file format pei-i386$' <<<"$format" || fail "$exe is not a pei-i386 image"

headers=$("$objdump" -p "$exe")
grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]+\(Windows CUI\)' <<<"$headers" ||
  fail "the PE subsystem is not the console (3, Windows CUI)"

# Each import table starts with "DLL Name: x.dll" and lists its functions below it.
imports=$(awk '/DLL Name:/ {dll = tolower($3)} dll && NF >= 3 && $2 ~ /^[0-9]+$/ {print dll, $3}' <<<"$headers")
grep -qx 'newdev.dll UpdateDriverForPlugAndPlayDevicesA' <<<"$imports" ||
  fail "UpdateDriverForPlugAndPlayDevicesA is not imported from newdev.dll"
system_dlls='^(kernel32|msvcrt|newdev|user32|advapi32|ntdll|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
for dll in $(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u); do
  [[ $dll =~ $system_dlls ]] || fail "imports $dll, which is not a system DLL (the runtime must be static)"
done
echo "cross-build: $exe is a 32-bit Windows console program importing only system DLLs"
