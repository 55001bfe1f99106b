#!/usr/bin/env bash
# Configures and builds the cross targets and the C example client:
#   mingw-i686  kq.dll (32-bit Windows, __stdcall), the simulated reader DLL,
#               the test programs and client.exe; run by scripts/test-wow64.sh
#   mingw-x64   kq.dll (64-bit Windows), the simulated reader DLL, the test
#               programs and client.exe; run by scripts/test-windows.sh
#   linux-i386  libkq.so (-m32), the simulated reader, the test programs and
#               the client; run by scripts/test-i386.sh
#
# Usage: scripts/cross-build.sh [mingw-i686] [mingw-x64] [linux-i386]
#        (default: all three). Build folders: build/<preset>.
# A missing tool fails the build; nothing is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(mingw-i686 mingw-x64 linux-i386)

# Installs only what is missing (nothing on a prepared machine).
scripts/deps.sh base cross

need() {
  local t
  for t in "$@"; do
    if ! command -v "$t" >/dev/null 2>&1; then
      echo "cross-build: FAIL: '$t' not found (scripts/deps.sh base cross)" >&2
      exit 1
    fi
  done
}
need cmake ninja
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "cross-build: FAIL: /usr/src/googletest missing (Debian package googletest)" >&2
  exit 1
fi

JOBS=${KQ_JOBS:-2}
WARN="-std=c99 -Wall -Wextra -Werror -pedantic -Wshadow -Wformat=2 -Wundef"

build_client() { # preset, compiler, output, library to link (import library or .so)
  local preset=$1 cc=$2 out=$3 lib=$4
  shift 4
  # shellcheck disable=SC2086
  "$cc" $WARN -O2 -Iinclude examples/client.c -o "$out" "$lib" "$@"
  echo "cross-build: $preset: built $out"
}

for preset in "${presets[@]}"; do
  start=$(date +%s)
  case "$preset" in
    mingw-i686) need i686-w64-mingw32-gcc-posix i686-w64-mingw32-g++-posix i686-w64-mingw32-dlltool ;;
    mingw-x64) need x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix ;;
    linux-i386)
      need gcc g++ qemu-i386
      if ! echo 'int main(void){return 0;}' | gcc -m32 -x c - -o /dev/null 2>/dev/null; then
        echo "cross-build: FAIL: gcc -m32 cannot link (Debian package g++-multilib)" >&2
        exit 1
      fi
      ;;
    *) echo "cross-build: unknown preset '$preset'" >&2; exit 2 ;;
  esac

  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"

  dir=build/$preset
  case "$preset" in
    mingw-i686)
      build_client "$preset" i686-w64-mingw32-gcc-posix "$dir/bin/client.exe" "$dir/src/libkq.dll.a" -static ;;
    mingw-x64)
      build_client "$preset" x86_64-w64-mingw32-gcc-posix "$dir/bin/client.exe" "$dir/src/libkq.dll.a" -static ;;
    linux-i386)
      # shellcheck disable=SC2016 # $ORIGIN is for the dynamic linker
      build_client "$preset" gcc "$dir/bin/client" "$dir/bin/libkq.so" -m32 '-Wl,-rpath,$ORIGIN' ;;
  esac
  echo "cross-build: $preset took $(( $(date +%s) - start )) s"
done
