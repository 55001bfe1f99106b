#!/usr/bin/env bash
# Builds the Debian packages from the tree and tries them as a user would:
#   1. copies the tree (without build/ and .git) to a scratch folder and runs
#      dpkg-buildpackage -us -uc -b there (tests not run: nocheck), so the
#      checkout stays clean;
#   2. runs lintian on the result: any error fails, warnings are listed;
#   3. installs the packages (apt-get install ./*.deb), builds
#      examples/client.c against them with pkg-config and runs it, and runs
#      kqtool --version and kqtool inventory against the installed simulated
#      reader;
#   4. purges the packages again and checks that nothing of them is left.
#
# Usage: scripts/test-debian.sh     (KQ_KEEP=1 keeps the scratch folder)
# Needs root (or sudo) for the install. Installs the deb group if missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)


scripts/deps.sh base deb
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

fail() { echo "test-debian: FAIL: $*" >&2; exit 1; }
note() { echo "test-debian: $*"; }

version=$(sed -n 's/^project(kq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
[ "${deb_version%-*}" = "$version" ] ||
  fail "debian/changelog is at $deb_version, the project at $version"
packages=(libkq0 libkq-dev kq-tools)
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    fail "$p is installed already; remove it first"
  fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kq-deb.XXXXXX")
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
  fi
  [ "${KQ_KEEP:-0}" = 1 ] || rm -rf "$tmp"
}
trap cleanup EXIT

# 1. Build in a copy.
status_before=$(git -C "$root" status --porcelain --untracked-files=all 2>/dev/null || true)
mkdir "$tmp/kq-$version"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$tmp/kq-$version" -xf -
start=$(date +%s)
(cd "$tmp/kq-$version" &&
  DEB_BUILD_OPTIONS="nocheck parallel=${KQ_JOBS:-2}" dpkg-buildpackage -us -uc -b -Pnocheck \
    >"$tmp/build.log" 2>&1) || { tail -60 "$tmp/build.log"; fail "dpkg-buildpackage"; }
note "packages built in $(( $(date +%s) - start )) s"
debs=()
for p in "${packages[@]}"; do
  f=$(find "$tmp" -maxdepth 1 -name "${p}_${deb_version}_*.deb" -print -quit)
  [ -n "$f" ] || fail "no package $p"
  debs+=("$f")
  echo "  $(basename "$f"):"
  dpkg-deb -c "$f" | awk '{print "    " $6 ($7 != "" ? " " $7 " " $8 : "")}' | grep -v '/$'
done
if [ -d "$root/.git" ] || [ -f "$root/.git" ]; then
  [ "$(git -C "$root" status --porcelain --untracked-files=all)" = "$status_before" ] ||
    fail "building the packages changed the checkout"
fi

# 2. lintian: errors fail, and so does any warning not in this list of the
# ones kept on purpose:
#   initial-upload-closes-no-bugs: the packages are built from the project's
#     tree, not uploaded to Debian, so there is no ITP bug to close;
#   appstream-metadata-missing-modalias-provide: the udev rule matches every
#     FTDI bridge (the reader has no USB ids of its own), so AppStream
#     metadata would claim every FTDI device for kq-tools.
KEPT_WARNINGS='initial-upload-closes-no-bugs|appstream-metadata-missing-modalias-provide'
start=$(date +%s)
changes=$(find "$tmp" -maxdepth 1 -name "kq_${deb_version}_*.changes" -print -quit)
lintian_out=$(lintian --fail-on none "$changes" 2>&1 | grep -v 'running with root privileges' || true)
echo "$lintian_out" | sed 's/^/  lintian: /'
if grep -q '^E: ' <<<"$lintian_out"; then
  fail "lintian reports errors"
fi
if grep '^W: ' <<<"$lintian_out" | grep -v -E ": ($KEPT_WARNINGS)( |$)"; then
  fail "lintian reports warnings besides the kept ones"
fi
note "lintian: no errors, only the kept warnings ($(( $(date +%s) - start )) s)"

# 3. Install and use.
installed=1
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" \
  >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "apt-get install"; }
note "installed: $(dpkg-query -W -f='${Package} ${Version}, ' "${packages[@]}")"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
sim=/usr/lib/$multiarch/kq/libkqsim_d2xx.so
[ -f "$sim" ] || fail "$sim not installed"
[ -f /lib/udev/rules.d/60-kq-reader.rules ] || fail "the udev rule is not in /lib/udev/rules.d"
soname=$(readelf -d "/usr/lib/$multiarch/libkq.so.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkq.so.0 ] || fail "SONAME is '$soname'"
[ "$(pkg-config --modversion kq)" = "$version" ] || fail "pkg-config --modversion kq"
man -w kqtool >/dev/null && man -w kqsim >/dev/null || fail "man pages not found by man"

# shellcheck disable=SC2046 # pkg-config's output is a list of flags
cc -std=c99 -Wall -Wextra -Werror -pedantic "$root/examples/client.c" -o "$tmp/client" \
  $(pkg-config --cflags --libs kq)
out=$(cd "$tmp" && KQ_D2XX="$sim" "$tmp/client") || { echo "$out"; fail "the example client failed"; }
echo "$out" | sed 's/^/  client: /'
grep -q '^reader: KQSIM' <<<"$out" || fail "the client did not find the simulated reader"

if out=$(cd "$tmp" && env -u KQ_D2XX kqtool --version 2>&1); then
  echo "  kqtool --version: $out"
  grep -q -F "$version" <<<"$out" || fail "kqtool --version does not say $version"
else
  fail "kqtool --version: $out"
fi
out=$(cd "$tmp" && env -u KQ_D2XX kqtool inventory) || { echo "$out"; fail "kqtool inventory"; }
echo "$out" | sed 's/^/  kqtool: /'
grep -q 'in the field' <<<"$out" || fail "kqtool inventory printed no inventory"

# 4. Remove.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >"$tmp/purge.log" 2>&1 ||
  { cat "$tmp/purge.log"; fail "apt-get purge"; }
installed=0
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed; then
    fail "$p still installed after purge"
  fi
done
for f in /usr/bin/kqtool /usr/include/kq.h "$sim" /lib/udev/rules.d/60-kq-reader.rules; do
  [ ! -e "$f" ] || fail "$f left behind after purge"
done
note "purged; all checks passed"
