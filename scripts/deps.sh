#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/deps.sh [base] [cross] [valgrind] [fuzz]
#   base      compiler, CMake, Ninja, GoogleTest (default)
#   cross     mingw-w64 cross compilers, Wine, multilib and qemu-user
#   valgrind  valgrind
#   fuzz      clang with libFuzzer and the sanitizer runtimes, CMake, Ninja
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(base)

want=()
for g in "${groups[@]}"; do
  case "$g" in
    base) want+=(g++ cmake ninja-build googletest libgtest-dev libgmock-dev clang-format) ;;
    cross) want+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 g++-multilib qemu-user) ;;
    valgrind) want+=(valgrind) ;;
    fuzz) want+=(clang libclang-rt-14-dev cmake ninja-build) ;;
    *) echo "deps.sh: unknown group '$g'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
