#!/usr/bin/env bash
# Runs a sample of the suite under valgrind's memcheck (release build): the
# tag-memory operations, the multi operations and the sensor measurement,
# through the shared library and the simulated reader. Any error or leak
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh base valgrind
if [ ! -x build/release/bin/kq_memory_multi_test ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release
fi

export KQ_D2XX="$PWD/build/release/bin/libkqsim_d2xx.so"
for t in "kq_memory_multi_test" "kq_memory_sensor_test" \
         "kq_memory_select_test --gtest_filter=SelectRead.*:BlockSize.*"; do
  set -- $t
  echo "=== valgrind: $*"
  valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "build/release/bin/$1" "${@:2}" --gtest_brief=1
done
