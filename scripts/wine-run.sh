#!/usr/bin/env bash
# Runs one Windows program under 64-bit Wine, quietly, in a Wine prefix of its
# own: the CMake emulator of the mingw-x64 build (CTest, test discovery) and
# the runner of scripts/test-windows.sh.
#
#   scripts/wine-run.sh program.exe [args...]
#
# WINEPREFIX: taken from the environment when set (scripts/test-windows.sh
# sets a fresh temporary one), otherwise a per-user folder under $TMPDIR.
# The prefix is created on first use, under a lock, so that parallel test
# processes do not race to create it. The program's exit code is passed on.
set -euo pipefail

WINE=${KQ_WINE:-/usr/lib/wine/wine64}
if [ ! -x "$WINE" ]; then
  echo "wine-run.sh: $WINE not found (Debian package wine64: scripts/deps.sh cross)" >&2
  exit 127
fi
if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh program.exe [args...]" >&2
  exit 2
fi

export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/kq-wine-$(id -u)}
export WINEDEBUG=-all
# No Mono/Gecko installers, no menu entries, no desktop integration.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

# A marker, written once wineboot has set the prefix up (the registry files
# themselves appear only when the wineserver saves them).
ready=$WINEPREFIX/.kq-prefix-ready
if [ ! -f "$ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$ready" ]; then
      if ! "$WINE" wineboot --init >/dev/null 2>&1; then
        echo "wine-run.sh: could not set up the Wine prefix $WINEPREFIX" >&2
        exit 1
      fi
      touch "$ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# One wineserver serves every program of a test run: starting one per program
# costs seconds. It stays up a minute after the last program has ended. It
# and Wine's own background processes must not hold on to this program's
# output (a reader such as CTest would wait for them), so when no server is
# running yet, start it and those processes with their output elsewhere.
# (wineserver -p exits with 2 when a server is already running.)
if "${WINE%/*}/wineserver" -p60 </dev/null >/dev/null 2>&1; then
  "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
fi

# Windows programs end their lines with CR LF; pass plain LF on, so that
# CTest and GoogleTest's test discovery read clean names. The program takes
# this script's place, so its exit code is the script's and a CTest timeout
# ends the program itself.
exec "$WINE" "$@" > >(exec tr -d '\r')
