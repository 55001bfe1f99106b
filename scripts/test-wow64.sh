#!/usr/bin/env bash
# Runs the 32-bit Windows build (mingw-i686) under Wine 10 in its WoW64 mode:
# 32-bit Windows code in a 64-bit Wine process, so it runs on a kernel that
# cannot start 32-bit Linux programs. Wine 10 comes from Debian 13 (trixie),
# in a root of its own made with debootstrap and entered with chroot:
#   1. makes the root, or reuses it (see "The root" below);
#   2. builds build/mingw-i686 with its tests (on this machine, with its
#      mingw-w64), when needed;
#   3. checks that the programs run as 32-bit code (pointer size 4,
#      KQ_PROPERTY 33169 bytes, a WoW64 process);
#   4. runs the whole test suite (CTest, through scripts/wow64-run.sh), among
#      it the __stdcall check of every export and the notifications through
#      a real message loop;
#   5. runs the example client against the simulated reader with a scenario,
#      and kqtool.exe from the x86 release archive (scripts/windows-archives.sh).
#
# Usage: scripts/test-wow64.sh [ctest arguments...]
#
# The root: /var/tmp/kq-wow64-trixie-r1 (KQ_WOW64_ROOT overrides; r1 is the
# revision of the recipe below, raised when it changes). It is made once per
# machine (about 330 MB downloaded, 1.8 GB on disk) and reused while it is
# complete: minbase trixie, wine64, and the 32-bit Windows DLLs of
# libwine:i386 at exactly the installed libwine's version, unpacked (not
# installed) into Wine's i386-windows folder. A root whose DLLs do not match
# its Wine gets them again. Everything is mounted in a mount namespace of
# this script's own (or of each program's, scripts/wow64-run.sh), so no mount
# outlives the run, however it ends; the setup's mounts are also unmounted
# on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$(pwd)

R=${KQ_WOW64_ROOT:-/var/tmp/kq-wow64-trixie-r1}
export KQ_WOW64_ROOT=$R
LOCK=(-o DPkg::Lock::Timeout=600) # apt waits for the package lock
fail() { echo "test-wow64: FAIL: $*" >&2; exit 1; }
note() { echo "test-wow64: $*"; }

if [ "${KQ_WOW64_SETUP_NS:-}" != "$$" ]; then
  scripts/deps.sh base cross wow64
  for t in debootstrap unshare chroot ctest unzip; do
    command -v "$t" >/dev/null || fail "$t not found (scripts/deps.sh base cross wow64)"
  done
  [ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mount)"
  exec unshare --mount --propagation private env KQ_WOW64_SETUP_NS=$$ "$tree/scripts/test-wow64.sh" "$@"
fi
unset KQ_WOW64_SETUP_NS

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kq-wow64.XXXXXX")
prefix_in=/tmp/kq-wow64-prefix.$$
export KQ_WOW64_PREFIX=$prefix_in
mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null || true
  done
  mounted=()
}
child=
cleanup() {
  [ -z "$child" ] || kill "$child" 2>/dev/null || true
  if [ -f "$R/.kq-wow64-ready" ]; then
    # Ends the server and with it every Windows process of the run.
    scripts/wow64-run.sh --kill || true
  fi
  [ -z "${keeper:-}" ] || kill "$keeper" 2>/dev/null || true
  unmount_all
  # The server's socket folder, named in the prefix.
  local sockets
  sockets=$(cat "$R$prefix_in/wineserver" 2>/dev/null || true)
  case "$sockets" in wine-?*) rm -rf "${R:?}/tmp/$sockets" ;; esac
  rm -rf "$tmp" "${R:?}$prefix_in" "$R$prefix_in.lock"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
# Runs a long step in the background and waits for it, so that a signal to
# this script is handled at once (the cleanup then ends the step).
step() {
  "$@" &
  child=$!
  local rc=0
  wait "$child" || rc=$?
  child=
  return "$rc"
}

# ---------------------------------------------------------------- the root
# This machine's Debian mirror (its first non-security source), so that the
# root is fetched from where this machine's own packages come from.
mirror() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # shellcheck disable=SC2016 # apt expands these itself
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk -v c="$codename" '$2 == c { print $1; exit }'
}

in_root() { chroot "$R" /usr/bin/env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }

mount_for_setup() {
  mount -t proc proc "$R/proc" && mounted+=("$R/proc")
  mount --rbind /dev "$R/dev" && mounted+=("$R/dev")
  mount --rbind /sys "$R/sys" && mounted+=("$R/sys")
  # The root fetches its packages the way this machine does.
  cp -L /etc/resolv.conf "$R/etc/resolv.conf" 2>/dev/null || true
  grep -l '^Acquire::' /etc/apt/apt.conf.d/* 2>/dev/null | while read -r f; do
    cp "$f" "$R/etc/apt/apt.conf.d/kq-host-$(basename "$f")"
  done
}

make_root() {
  local url start
  start=$(date +%s)
  if [ ! -f "$R/.kq-debootstrap-done" ]; then
    url=$(mirror)
    [ -n "$url" ] || fail "no Debian mirror found in this machine's apt sources"
    note "making the Debian 13 root in $R from $url"
    rm -rf "$R"
    mkdir -p "$R"
    debootstrap --variant=minbase trixie "$R" "$url" >"$tmp/debootstrap.log" 2>&1 || {
      tail -20 "$tmp/debootstrap.log" >&2
      fail "debootstrap trixie failed (log above)"
    }
    touch "$R/.kq-debootstrap-done"
  fi
  mount_for_setup
  # shellcheck disable=SC2016
  if ! in_root dpkg-query -W -f='${Status}' wine64 2>/dev/null | grep -q "install ok installed"; then
    note "installing wine64 in the root"
    in_root apt-get "${LOCK[@]}" update -qq
    in_root apt-get "${LOCK[@]}" install -y -qq --no-install-recommends wine64 >"$tmp/apt.log" 2>&1 || {
      tail -20 "$tmp/apt.log" >&2
      fail "apt-get install wine64 in the root failed"
    }
  fi
  local version have dlls=usr/lib/x86_64-linux-gnu/wine/i386-windows
  # shellcheck disable=SC2016
  version=$(in_root dpkg-query -W -f='${Version}' libwine)
  have=$(cat "$R/$dlls/.kq-libwine-i386" 2>/dev/null || true)
  if [ "$have" != "$version" ] || [ ! -f "$R/$dlls/kernel32.dll" ]; then
    note "the 32-bit Windows DLLs of libwine:i386 $version"
    in_root dpkg --add-architecture i386
    in_root apt-get "${LOCK[@]}" update -qq
    rm -rf "$R/tmp/kq-libwine"
    mkdir -p "$R/tmp/kq-libwine"
    chmod 0777 "$R/tmp/kq-libwine" # apt downloads as its own user
    # Exactly the installed Wine's version: Wine's 64-bit and 32-bit halves
    # talk to each other and must come from one build.
    chroot "$R" /usr/bin/env -C /tmp/kq-libwine apt-get "${LOCK[@]}" download -qq "libwine:i386=$version" ||
      fail "apt-get download libwine:i386=$version failed"
    in_root sh -c 'dpkg-deb -x /tmp/kq-libwine/libwine_*_i386.deb /tmp/kq-libwine/x'
    local from=$R/tmp/kq-libwine/x/usr/lib/i386-linux-gnu/wine/i386-windows
    [ -f "$from/kernel32.dll" ] || fail "libwine:i386 $version has no i386-windows/kernel32.dll"
    mkdir -p "$R/$dlls"
    cp -a "$from/." "$R/$dlls/"
    echo "$version" >"$R/$dlls/.kq-libwine-i386"
    rm -rf "$R/tmp/kq-libwine"
    in_root apt-get clean
  fi
  # Where Wine is (the loader and its server), and what the prefixes were
  # made with; read by scripts/wow64-run.sh.
  local wine=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
  [ -x "$R$wine" ] || wine=/usr/lib/wine/wine
  [ -x "$R$server" ] || server=/usr/lib/wine/wineserver
  if [ ! -x "$R$wine" ] || [ ! -x "$R$server" ]; then
    fail "no Wine loader or wineserver under $R/usr/lib/wine"
  fi
  printf 'KQ_WINE=%s\nKQ_WINESERVER=%s\nKQ_I386_DLLS=%s\n' "$wine" "$server" "$version" \
    >"$R/.kq-wow64-ready.new"
  mv "$R/.kq-wow64-ready.new" "$R/.kq-wow64-ready"
  note "root ready in $(($(date +%s) - start)) s: $(in_root "$wine" --version 2>&1 || true), 32-bit DLLs $version"
  unmount_all
}

mkdir -p "$(dirname "$R")"
(
  trap unmount_all EXIT
  flock 9
  make_root
) 9>"$R.lock"
[ -f "$R/.kq-wow64-ready" ] || fail "the root in $R is not ready"

# ---------------------------------------------------------------- the build
dir=build/mingw-i686
if [ ! -f "$dir/bin/client.exe" ] || [ ! -f "$dir/CTestTestfile.cmake" ] ||
  [ ! -f "$dir/bin/kq_desktop_keeper.exe" ]; then
  scripts/cross-build.sh mingw-i686
else
  cmake --build --preset mingw-i686 -j "${KQ_JOBS:-2}"
fi

# ---------------------------------------------------------------- running
start=$(date +%s)
# One wineserver for the whole run, in a fresh prefix made now, after the
# 32-bit DLLs are in place (scripts/wow64-run.sh makes it on first use).
mkdir -p "$R$prefix_in"
scripts/wow64-run.sh --server || fail "could not start the wineserver in the root"
scripts/wow64-run.sh cmd /c exit 0 >/dev/null 2>&1 || true
[ -f "$R$prefix_in/.kq-prefix-ready" ] || fail "could not create a Wine prefix in the root"
note "Wine prefix ready in $(($(date +%s) - start)) s"
# The desktop stays in use for the whole run, so that Wine does not close it
# between two programs (a program attaching while it closes cannot create a
# window) and its process does not hold a test's output.
scripts/wow64-run.sh "$dir/bin/kq_desktop_keeper.exe" </dev/null >/dev/null 2>&1 &
keeper=$!
sleep 1
kill -0 "$keeper" 2>/dev/null || fail "kq_desktop_keeper.exe did not stay up"

# 32-bit code, really: the program and kq.dll are i386 images, pointers are
# 4 bytes, the record has its 33169 bytes, and the process runs under WoW64.
out=$(scripts/wow64-run.sh "$dir/bin/windows_client_test.exe" \
  --gtest_filter=Exports.ProgramAndDllAreCodeOfTheBuildsWordSize 2>&1) || {
  echo "$out"
  fail "the word-size check failed"
}
abi=$(grep '^kq-abi: ' <<<"$out" || true)
echo "$abi"
[ "$abi" = "kq-abi: pointer size 4, KQ_PROPERTY 33169 bytes, WoW64 process 1" ] ||
  fail "the programs do not run as 32-bit code under WoW64"

start=$(date +%s)
step ctest --preset mingw-i686 "$@"
note "test suite took $(($(date +%s) - start)) s"

# The example client against the simulated reader, with a field of tags.
out=$(cd "$dir/bin" && KQ_D2XX=kqsim_d2xx.dll KQSIM_SCENARIO="$tree/examples/field.scenario" \
  "$tree/scripts/wow64-run.sh" client.exe) || {
  echo "$out"
  fail "client.exe under WoW64"
}
echo "$out" | sed 's/^/  client: /'
grep -q '^reader: KQSIM0001$' <<<"$out" || fail "the example client found no simulated reader"
grep -q '^tags in the field: [1-9]' <<<"$out" || fail "the example client saw no tags"
grep -q '^  E0040150A1B2C301$' <<<"$out" || fail "the example client did not list the scenario's tag"
note "example client OK"

# kqtool.exe as a user unpacks it from the x86 release archive.
version=$(sed -n 's/^project(kq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=out/kq-$version-windows-x86.zip
if [ ! -f "$zip" ] || [ "$zip" -ot "$dir/bin/kq.dll" ] || [ "$zip" -ot "$dir/bin/kqtool.exe" ]; then
  scripts/windows-archives.sh
fi
unpacked=$dir/wow64-archive
rm -rf "$unpacked"
mkdir -p "$unpacked"
unzip -q "$zip" -d "$unpacked"
bin=$unpacked/kq-$version-windows-x86/bin
out=$(cd "$bin" && "$tree/scripts/wow64-run.sh" kqtool.exe --version 2>&1) || {
  echo "$out"
  fail "kqtool --version from the x86 archive"
}
echo "  kqtool --version: $out"
grep -q -F "$version" <<<"$out" || fail "kqtool --version does not say $version"
out=$(cd "$bin" && KQSIM_SCENARIO="$tree/examples/field.scenario" "$tree/scripts/wow64-run.sh" \
  kqtool.exe inventory 2>&1) || {
  echo "$out"
  fail "kqtool inventory from the x86 archive"
}
echo "$out" | sed 's/^/  kqtool: /'
grep -q 'E0040150A1B2C301' <<<"$out" || fail "kqtool inventory did not list the scenario's tag"
rm -rf "$unpacked"
note "kqtool.exe from $zip OK"
