#!/usr/bin/env bash
# The main job: installs what a fresh Debian machine lacks, builds the release
# preset, and shows kqtool at work against the built-in simulated reader.
# Usage: scripts/demo.sh   (from anywhere inside a clone)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/deps.sh base
cmake --preset release
cmake --build --preset release

kqtool="build/release/bin/kqtool"
sensor="E0040150A1B2C3F0"
tag_a="E0040150A1B2C301"
tag_b="E0040150A1B2C302"

# Prints a command line, then runs it; a failing command ends the demo.
run() {
  printf '\n$ %s\n' "$*"
  "$@"
}

echo
echo "== kqtool against the simulated reader (add --real for a reader on USB) =="
run "$kqtool" list
run "$kqtool" probe
run "$kqtool" inventory
run "$kqtool" inventory --json
run "$kqtool" read "$tag_a" 0 8
run "$kqtool" write "$tag_b" 0 4 "HELLO-KQ-READER-FROM-THE-DEMO..."
run "$kqtool" multi-read 0 4
run "$kqtool" sensor "$sensor"
run "$kqtool" loop uid --for 3 --churn 600
echo
echo "Done. More commands: $kqtool --help, and docs/kqtool.md."
