#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for a fixed time, starting from the seed corpus in
# fuzz/corpus/. Prints executions and coverage per target; fails on the first
# crash, leak or hang, whose reproducer lands in build/fuzz/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#   SECONDS  run time per target (default 20; CI uses the default)
#   TARGET   fuzz_exports, fuzz_loops, fuzz_receive, kqd_request, kqd_json
#            (default: all)
# FUZZ_MERGE=1 merges what a run found into fuzz/corpus/ (minimised), for a
# long run whose corpus is worth keeping.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_exports fuzz_loops fuzz_receive kqd_request kqd_json)

scripts/deps.sh fuzz service
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz/work
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  mkdir -p "$work/$t"
  log="build/fuzz/$t.log"
  echo "=== $t: ${seconds} s"
  # -timeout: a single input that runs for seconds is a hang, and a hang
  # is a failure (no wait of the library may be unbounded).
  if ! build/fuzz/bin/"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
      "$work/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "=== $t: FAILED (reproducer in $artifacts/)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: //p' "$log")
  cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/\1/' || true)
  echo "=== $t: ${runs} executions, ${cov}"
  if [ "${FUZZ_MERGE:-0}" = 1 ]; then
    build/fuzz/bin/"$t" -merge=1 "fuzz/corpus/$t" "$work/$t" >/dev/null 2>&1
  fi
done
