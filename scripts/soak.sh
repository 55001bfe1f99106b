#!/usr/bin/env bash
# Soak test: starts and stops every loop kind, and opens, closes and unplugs
# the simulated reader, CYCLES times each; fails when threads, descriptors,
# driver handles or memory are left over (see tests/soak/kq_soak.cpp).
# Usage: scripts/soak.sh [CYCLES]   (default 1000; CI runs 100)
set -euo pipefail
cd "$(dirname "$0")/.."

cycles=${1:-1000}
scripts/deps.sh base
cmake --preset release >/dev/null
cmake --build build/release --target kq_soak
build/release/bin/kq_soak "$cycles"
