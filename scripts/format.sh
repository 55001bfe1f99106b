#!/usr/bin/env bash
# Formats every C and C++ source with clang-format; --check only reports.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror $files
else
  clang-format -i $files
fi
