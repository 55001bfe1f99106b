#!/usr/bin/env bash
# Runs the 32-bit Linux build under qemu-i386 (the kernel need not run 32-bit
# programs itself): the whole test suite, then the C example client against
# the simulated reader.
#
# Usage: scripts/test-i386.sh [ctest arguments...]
# Builds build/linux-i386 first when needed (scripts/cross-build.sh linux-i386).
# A missing tool fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

for t in qemu-i386 ctest; do
  command -v "$t" >/dev/null || {
    echo "test-i386: FAIL: $t not found (scripts/deps.sh cross)" >&2
    exit 1
  }
done

dir=build/linux-i386
if [ ! -f "$dir/bin/client" ] || [ ! -f "$dir/CTestTestfile.cmake" ]; then
  scripts/cross-build.sh linux-i386
else
  cmake --build --preset linux-i386 -j "${KQ_JOBS:-2}"
fi

# Test programs that start other programs of this build (kqsim) start them
# through the same emulator.
export KQ_TEST_EMULATOR
KQ_TEST_EMULATOR=$(command -v qemu-i386)

start=$(date +%s)
ctest --preset linux-i386 "$@"
echo "test-i386: test suite took $(( $(date +%s) - start )) s"

out=$(KQ_D2XX=$(pwd)/$dir/bin/libkqsim_d2xx.so qemu-i386 "$dir/bin/client")
echo "$out"
if ! grep -q '^reader: KQSIM0001$' <<<"$out"; then
  echo "test-i386: FAIL: the example client did not talk to the simulated reader" >&2
  exit 1
fi
echo "test-i386: example client OK"
