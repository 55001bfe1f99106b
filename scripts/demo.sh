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

# --simulated: the demo's tags, also on a machine with a reader attached.
kqtool="build/release/bin/kqtool"
sim=--simulated
sensor="E0040150A1B2C3F0"
tag_a="E0040150A1B2C301"
tag_b="E0040150A1B2C302"

# Prints a command line, then runs it; a failing command ends the demo.
run() {
  printf '\n$ %s\n' "$*"
  "$@"
}

echo
echo "== kqtool against the simulated reader (without --simulated: a reader on USB if one is attached) =="
run "$kqtool" $sim list
run "$kqtool" $sim probe
run "$kqtool" $sim inventory
run "$kqtool" $sim inventory --json
run "$kqtool" $sim read "$tag_a" 0 8
run "$kqtool" $sim write "$tag_b" 0 4 "HELLO-KQ-READER-FROM-THE-DEMO..."
run "$kqtool" $sim multi-read 0 4
run "$kqtool" $sim sensor "$sensor"
run "$kqtool" $sim wait --churn 500
run "$kqtool" $sim loop uid --for 3 --churn 600
echo
echo "Done. More commands: $kqtool --help, $kqtool COMMAND --help, and docs/kqtool.md."
