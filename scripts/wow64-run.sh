#!/usr/bin/env bash
# Runs one Windows program, 32- or 64-bit, under the Wine 10 of the Debian 13
# root that scripts/test-wow64.sh makes: 32-bit programs run there in Wine's
# WoW64 mode, as 32-bit code inside a 64-bit process. It is the CMake
# emulator of the mingw-i686 build (CTest, test discovery).
#
#   scripts/wow64-run.sh program.exe [args...]
#   scripts/wow64-run.sh --server     start one permanent wineserver
#   scripts/wow64-run.sh --kill       end the wineserver of the prefix
#
# Each call enters a mount namespace of its own, mounts /proc, /dev, /sys,
# this source tree and (when outside the tree) the working folder into the
# root at their own paths, and runs Wine there with chroot. The mounts belong
# to that namespace alone and vanish with its last process, however the
# program ends; nothing is ever mounted on the host itself.
#
# KQ_WOW64_ROOT: the root (default: the one scripts/test-wow64.sh makes).
# KQ_WOW64_PREFIX: the Wine prefix, a path inside the root (default
# /tmp/kq-wine-<uid>); created on first use, under a lock, and made anew when
# the root's 32-bit DLLs changed since. The program's exit code is passed on.
set -euo pipefail

tree=$(cd "$(dirname "$0")/.." && pwd)
R=${KQ_WOW64_ROOT:-/var/tmp/kq-wow64-trixie-r1}
prefix=${KQ_WOW64_PREFIX:-/tmp/kq-wine-$(id -u)}
ready=$R/.kq-wow64-ready

if [ ! -f "$ready" ]; then
  echo "wow64-run.sh: no Wine root in $R (scripts/test-wow64.sh makes it)" >&2
  exit 127
fi
if [ $# -lt 1 ]; then
  echo "usage: wow64-run.sh program.exe [args...] | --server | --kill" >&2
  exit 2
fi

if [ "${KQ_WOW64_NAMESPACE:-}" != "$$" ]; then
  # unshare execs in place: the program keeps this process id, so a CTest
  # timeout ends the program itself.
  exec unshare --mount --propagation private env KQ_WOW64_NAMESPACE=$$ "$0" "$@"
fi
unset KQ_WOW64_NAMESPACE

mount -t proc proc "$R/proc"
mount --rbind /dev "$R/dev"
mount --rbind /sys "$R/sys"
mkdir -p "$R$tree"
mount --bind "$tree" "$R$tree"
cwd=$(pwd)
case "$cwd/" in
  "$tree"/*) ;;
  *)
    mkdir -p "$R$cwd"
    mount --bind "$cwd" "$R$cwd"
    ;;
esac

# The recorded Wine paths and the version of the 32-bit DLLs (a prefix made
# before those DLLs were in place cannot load kernel32.dll).
# shellcheck source=/dev/null
. "$ready"
in_root() {
  chroot "$R" /usr/bin/env -C "$cwd" -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" \
    WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d" WINEARCH=win64 "$@"
}

case "$1" in
  --kill)
    in_root "$KQ_WINESERVER" -k >/dev/null 2>&1 || true
    exit 0
    ;;
  --server)
    # Fails with 2 when a server is already running for this prefix.
    mkdir -p "$R$prefix"
    in_root "$KQ_WINESERVER" -p </dev/null >/dev/null 2>&1
    exit $?
    ;;
esac

stamp=$R$prefix/.kq-prefix-ready
if [ "$(cat "$stamp" 2>/dev/null)" != "$KQ_I386_DLLS" ]; then
  mkdir -p "$R$prefix"
  (
    flock 9
    if [ "$(cat "$stamp" 2>/dev/null)" != "$KQ_I386_DLLS" ]; then
      if [ -f "$R$prefix/system.reg" ]; then
        # Made with other DLLs: its server goes, and the prefix is made anew.
        # (Anything else in it stays: a server started for the new prefix
        # left its address there, and -k finds the server by it.)
        in_root "$KQ_WINESERVER" -k >/dev/null 2>&1 || true
        find "$R$prefix" -mindepth 1 -delete
      fi
      if ! in_root "$KQ_WINE" wineboot --init </dev/null >/dev/null 2>&1; then
        echo "wow64-run.sh: could not set up the Wine prefix $prefix in $R" >&2
        exit 1
      fi
      echo "$KQ_I386_DLLS" >"$stamp"
    fi
  ) 9>"$R$prefix.lock"
fi

# As in scripts/wine-run.sh: a wineserver that serves every program of a run,
# started with its output elsewhere when none runs yet, so that it does not
# hold this program's output open.
if in_root "$KQ_WINESERVER" -p60 </dev/null >/dev/null 2>&1; then
  in_root "$KQ_WINE" wineboot </dev/null >/dev/null 2>&1 || true
fi

# The program writes into files, which are passed on (CR LF made LF) once it
# has ended. Not a pipe: Wine's desktop process (explorer.exe), started by
# the first program that needs a window, inherits that program's output and
# lives on while any program uses the desktop; with a pipe CTest would wait
# for it, and with two tests at a time it may not end before the suite does.
out=$(mktemp "${TMPDIR:-/tmp}/kq-wow64-out.XXXXXX")
chroot "$R" /usr/bin/env -C "$cwd" -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" \
  WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d" WINEARCH=win64 \
  "$KQ_WINE" "$@" <&0 >"$out" 2>"$out.err" &
pid=$!
# A CTest timeout or an interrupt ends the program too.
trap 'kill -KILL "$pid" 2>/dev/null' TERM INT HUP
rc=0
wait "$pid" || rc=$?
while kill -0 "$pid" 2>/dev/null; do
  wait "$pid" || rc=$?
done
tr -d '\r' <"$out"
# Wine's display drivers complain without a display; nothing runs on one.
grep -v -e '^error: XDG_RUNTIME_DIR is invalid' "$out.err" | tr -d '\r' >&2 || true
rm -f "$out" "$out.err"
exit "$rc"
