#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/deps.sh [base] [cross] [valgrind] [vm] [deb] [install] [winzip] [wow64] [clang] [bindings]
#                        [fuzz] [service] [browser] [mqtt]
#   base      compiler, CMake, Ninja, GoogleTest (default)
#   cross     mingw-w64 cross compilers, Wine, multilib and qemu-user
#   valgrind  valgrind
#   vm        QEMU (x86-64 system emulation), a Debian kernel with its modules,
#             static busybox and cpio for the guest of scripts/test-vm.sh
#   deb       what building and checking the Debian packages needs
#   install   what the install test needs besides base (pkg-config)
#   winzip    zip, unzip and wrestool (icoutils) for the Windows archives
#   wow64     debootstrap and unzip, for the Debian 13 root of Wine 10 that
#             scripts/test-wow64.sh makes (its packages are installed there)
#   clang     clang and clang++
#   bindings  Python 3 (setuptools, pip, venv, pytest, mypy), Mono (mcs, runtime,
#             xbuild, reference assemblies), nuget, and the MinGW compilers
#             for the Windows kq.dll in the NuGet package
#   fuzz      clang with libFuzzer and the sanitizer runtimes, CMake, Ninja
#   service   what kqd needs: Boost (Asio/Beast), nlohmann-json, toml++, libsystemd
#             (sd_notify), pkg-config; Python 3 with pytest and yaml for its API tests
#   browser   the page's test: Debian's chromium, its chromedriver and
#             python3-selenium (on a fresh Debian 12: about 130 MB to fetch,
#             420 MB installed, 3-4 minutes)
#   mqtt      kqd's broker link and its tests: libmosquitto, Mosquitto (broker and
#             mosquitto_passwd), openssl, python3 with pytest, paho-mqtt and jsonschema
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(base)

want=()
for g in "${groups[@]}"; do
  case "$g" in
    base) want+=(g++ cmake ninja-build googletest libgtest-dev libgmock-dev clang-format) ;;
    cross) want+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 g++-multilib qemu-user) ;;
    valgrind) want+=(valgrind) ;;
    vm) want+=(qemu-system-x86 linux-image-amd64 busybox-static cpio) ;;
    deb) want+=(debhelper dpkg-dev lintian pkg-config man-db) ;;
    install) want+=(pkg-config) ;;
    winzip) want+=(zip unzip icoutils) ;;
    wow64) want+=(debootstrap unzip) ;;
    clang) want+=(clang) ;;
    bindings) want+=(python3 python3-setuptools python3-wheel python3-pip python3-venv python3-pytest
                     python3-mypy mono-devel mono-xbuild nuget g++-mingw-w64-i686 g++-mingw-w64-x86-64) ;;
    fuzz) want+=(clang libclang-rt-14-dev cmake ninja-build) ;;
    service) want+=(libboost-dev nlohmann-json3-dev libtomlplusplus-dev libsystemd-dev pkg-config
                    python3 python3-pytest python3-yaml) ;;
    browser) want+=(chromium chromium-driver python3 python3-selenium) ;;
    mqtt) want+=(libmosquitto-dev pkg-config mosquitto mosquitto-clients openssl python3
                 python3-pytest python3-paho-mqtt python3-jsonschema) ;;
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
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi
