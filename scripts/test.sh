#!/usr/bin/env bash
# Installs what is missing, builds and runs the test suite.
# Usage: scripts/test.sh [PRESET...]   (default: release)
#   release  optimised x86-64 Linux build
#   asan     debug build with AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     debug build with ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(release)

scripts/deps.sh base service mqtt

for p in "${presets[@]}"; do
  echo "=== ${p}: configure and build"
  start=$(date +%s)
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  echo "=== ${p}: test"
  ctest --preset "$p"
  echo "=== ${p}: done in $(( $(date +%s) - start )) s"
done
