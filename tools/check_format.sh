#!/usr/bin/env bash
# tools/check_format.sh [--fix]: every tracked C++ source follows the root .clang-format.
# Generated tables (*.inc written by tools/gen_*) are left as their generators write them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
  echo "format: ${#files[@]} files clean"
fi
