#!/usr/bin/env bash
# Runs the Windows x86-64 build under Wine: the whole test suite (CTest,
# through scripts/wine-run.sh), then the C example client against the
# simulated reader DLL.
#
# Usage: scripts/test-windows.sh [ctest arguments...]
# Builds build/mingw-x64 first when needed (scripts/cross-build.sh mingw-x64).
# Wine runs quietly in a fresh temporary prefix that is removed afterwards.
# A missing tool fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

WINE=${KQ_WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINE%/*}/wineserver
for t in "$WINE" "$WINESERVER"; do
  if [ ! -x "$t" ]; then
    echo "test-windows: FAIL: $t not found (Debian package wine64: scripts/deps.sh cross)" >&2
    exit 1
  fi
done
command -v ctest >/dev/null || { echo "test-windows: FAIL: ctest not found" >&2; exit 1; }

dir=build/mingw-x64
if [ ! -f "$dir/bin/client.exe" ] || [ ! -f "$dir/CTestTestfile.cmake" ]; then
  scripts/cross-build.sh mingw-x64
else
  cmake --build --preset mingw-x64 -j "${KQ_JOBS:-2}"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kq-wine.XXXXXX")
export WINEPREFIX=$tmp/prefix
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

start=$(date +%s)
# One wineserver for every test process, then the prefix (wine-run.sh
# creates it on first use).
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p </dev/null >/dev/null 2>&1
"$root/scripts/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/.kq-prefix-ready" ]; then
  echo "test-windows: FAIL: could not create a Wine prefix" >&2
  exit 1
fi
echo "test-windows: Wine prefix ready in $(( $(date +%s) - start )) s"

start=$(date +%s)
ctest --preset mingw-x64 "$@"
echo "test-windows: test suite took $(( $(date +%s) - start )) s"

# The example client against the simulated reader, as a Windows client would
# run: kq.dll and kqsim_d2xx.dll next to the program.
out=$(KQ_D2XX=kqsim_d2xx.dll "$root/scripts/wine-run.sh" "$dir/bin/client.exe")
echo "$out"
if ! grep -q '^reader: KQSIM0001$' <<<"$out" || ! grep -q '^tags in the field: ' <<<"$out"; then
  echo "test-windows: FAIL: the example client did not talk to the simulated reader" >&2
  exit 1
fi
echo "test-windows: example client OK"
