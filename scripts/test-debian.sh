#!/usr/bin/env bash
# Builds the Debian packages from the tree and tries them as a user would:
#   1. copies the tree (without build/ and .git) to a scratch folder and runs
#      dpkg-buildpackage -us -uc -b there (tests not run: nocheck), so the
#      checkout stays clean;
#   2. runs lintian on the result: any error fails, warnings are listed;
#   3. installs the packages (apt-get install ./*.deb), builds the installed
#      example client against them with pkg-config and runs it against the
#      installed simulated reader and example field (it must find the tags),
#      imports the installed Python package against the installed library,
#      and runs kqtool --version and kqtool inventory against the installed
#      simulated reader; checks the documents, examples and the udev rules
#      are where Debian puts them;
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
# apt_purge LOG WHAT PACKAGE...: purges the packages, the output in $tmp/LOG,
# shown when apt-get fails (the failure is called WHAT).
apt_purge() {
  local log=$1 what=$2
  shift 2
  $SUDO env DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge -y -qq "$@" >"$tmp/$log" 2>&1 ||
    { cat "$tmp/$log"; fail "$what"; }
}
# check_purged PACKAGE...: fails if one of them is still installed.
check_purged() {
  local p
  for p in "$@"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed; then
      fail "$p still installed after purge"
    fi
  done
}

version=$(sed -n 's/^project(kq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
[ "${deb_version%-*}" = "$version" ] ||
  fail "debian/changelog is at $deb_version, the project at $version"
packages=(libkq0 libkq-dev kq-tools python3-kq)
# Others install packages on this machine too: wait for the dpkg lock.
apt=(apt-get -o DPkg::Lock::Timeout=600)
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    fail "$p is installed already; remove it first"
  fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kq-deb.XXXXXX")
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then
    $SUDO env DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
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
#   appstream-metadata-missing-modalias-provide: lintian asks every udev rule
#     that gives the user access (uaccess, plugdev) for AppStream metadata
#     naming the device's USB ids; the reader has none of its own (only its
#     FTDI bridge's), which is why the rule is opt-in, by serial number.
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
$SUDO env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${debs[@]}" \
  >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "apt-get install"; }
note "installed: $(dpkg-query -W -f='${Package} ${Version}, ' "${packages[@]}")"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
sim=/usr/lib/$multiarch/kq/libkqsim_d2xx.so
[ -f "$sim" ] || fail "$sim not installed"
rule=/lib/udev/rules.d/60-kq-reader.rules
[ -f "$rule" ] || fail "the udev rule is not in /lib/udev/rules.d"
[ "$(dpkg -S "$rule" | cut -d: -f1)" = libkq0 ] || fail "the udev rule is not libkq0's"
# Opt-in: nothing outside the marked readers, so no FTDI vendor id in a rule.
grep -v '^#' "$rule" | grep -q 'idVendor' && fail "the udev rule matches FTDI devices by vendor id"
grep -q 'ENV{KQ_READER}!="1", GOTO=' "$rule" || fail "the udev rule is not opt-in"
scenario=/usr/share/kq-tools/field.scenario
examples=/usr/share/doc/libkq-dev/examples
for f in "$scenario" "$examples/client.c" "$examples/loop_client.c" \
         /usr/share/doc/libkq-dev/README.Debian /usr/share/doc/libkq0/README.udev \
         /usr/share/doc/kq-tools/kqtool.md /usr/share/doc/kq-tools/scenario.md \
         /usr/share/doc/python3-kq/examples/kq_example.py \
         /usr/lib/python3/dist-packages/kq/__init__.py; do
  [ -f "$f" ] || fail "$f not installed"
done
dpkg -L python3-kq | grep -q -E '__pycache__|\.pyc$' && fail "python3-kq ships byte code"
soname=$(readelf -d "/usr/lib/$multiarch/libkq.so.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkq.so.0 ] || fail "SONAME is '$soname'"
[ "$(pkg-config --modversion kq)" = "$version" ] || fail "pkg-config --modversion kq"
man -w kqtool >/dev/null && man -w kqsim >/dev/null || fail "man pages not found by man"

# shellcheck disable=SC2046 # pkg-config's output is a list of flags
# The installed example against the installed simulated reader and field,
# as README.Debian says.
cc -std=c99 -Wall -Wextra -Werror -pedantic "$examples/client.c" -o "$tmp/client" \
  $(pkg-config --cflags --libs kq)
out=$(cd "$tmp" && KQ_D2XX="$sim" KQSIM_SCENARIO="$scenario" "$tmp/client" 2>&1) ||
  { echo "$out"; fail "the example client failed"; }
echo "$out" | sed 's/^/  client: /'
grep -q '^reader: KQSIM' <<<"$out" || fail "the client did not find the simulated reader"
grep -q '^tags in the field: [1-9]' <<<"$out" || fail "the example found no tags in the installed field"
grep -q 'E0040150A1B2C301' <<<"$out" || fail "the example did not list the field's first tag"

# The Python package, from dist-packages, against the installed library
# (Debian's python3, which the package is for, whatever else PATH offers).
out=$(cd "$tmp" && env -u KQ_LIBRARY KQ_D2XX="$sim" KQSIM_SCENARIO="$scenario" /usr/bin/python3 -c '
import kq
with kq.Reader() as reader:
    print("uids:", reader.inventory())
print("module:", kq.__file__)
print("library:", " ".join(sorted({line.split()[-1] for line in open("/proc/self/maps")
                                    if "/libkq.so" in line})))
' 2>&1) || { echo "$out"; fail "/usr/bin/python3 -c 'import kq; ...' failed"; }
echo "$out" | sed 's/^/  python3: /'
grep -q '^module: /usr/lib/python3/dist-packages/kq/__init__.py$' <<<"$out" ||
  fail "python3 imported kq from elsewhere"
grep -q "^library: /usr/lib/$multiarch/libkq.so.0" <<<"$out" || fail "kq loaded another library"
grep -q 'E0040150A1B2C301' <<<"$out" || fail "the Python binding found no tags"

if out=$(cd "$tmp" && env -u KQ_D2XX kqtool --version 2>&1); then
  echo "  kqtool --version: $out"
  grep -q -F "$version" <<<"$out" || fail "kqtool --version does not say $version"
else
  fail "kqtool --version: $out"
fi
out=$(cd "$tmp" && env -u KQ_D2XX kqtool --simulated inventory) ||
  { echo "$out"; fail "kqtool --simulated inventory"; }
echo "$out" | sed 's/^/  kqtool: /'
grep -q '3 tags in the field' <<<"$out" || fail "kqtool inventory printed no inventory"

# 4. Remove.
apt_purge purge.log "apt-get purge" "${packages[@]}"
installed=0
check_purged "${packages[@]}"
for f in /usr/bin/kqtool /usr/include/kq.h "$sim" "$rule" "$scenario" /usr/lib/python3/dist-packages/kq; do
  [ ! -e "$f" ] || fail "$f left behind after purge"
done
note "purged; all checks passed"

# 5. kqd, the reader service, tried without systemd (CI has none): installed
# with the simulated reader, run as its own user with the packaged config on
# a free port of 127.0.0.1, /healthz, the readers and the page fetched; then
# stopped and purged, leaving no file, no user and no group behind.
start=$(date +%s)
kqd_deb=$(find "$tmp" -maxdepth 1 -name "kqd_${deb_version}_*.deb" -print -quit)
[ -n "$kqd_deb" ] || fail "no package kqd"
echo "  $(basename "$kqd_deb"):"
dpkg-deb -c "$kqd_deb" | awk '{print "    " $6 ($7 != "" ? " " $7 " " $8 : "")}' | grep -v '/$'
if dpkg-query -W -f='${Status}' kqd 2>/dev/null | grep -q "install ok installed"; then
  fail "kqd is installed already; remove it first"
fi
kqd_packages=(kqd kq-tools libkq0)
kqd_debs=("$kqd_deb")
for p in kq-tools libkq0; do
  kqd_debs+=("$(find "$tmp" -maxdepth 1 -name "${p}_${deb_version}_*.deb" -print -quit)")
done
kqd_installed=0
kqd_pid=""
kqd_cleanup() {
  if [ -n "$kqd_pid" ]; then
    $SUDO kill "$kqd_pid" 2>/dev/null || true
  fi
  if [ "$kqd_installed" = 1 ]; then
    $SUDO env DEBIAN_FRONTEND=noninteractive "${apt[@]}" purge -y -qq "${kqd_packages[@]}" >/dev/null 2>&1 || true
  fi
}
trap 'kqd_cleanup; cleanup' EXIT

kqd_installed=1
$SUDO env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${kqd_debs[@]}" \
  >"$tmp/kqd-install.log" 2>&1 || { cat "$tmp/kqd-install.log"; fail "apt-get install kqd"; }
for f in /usr/sbin/kqd /etc/kqd/kqd.toml /lib/systemd/system/kqd.service \
         /usr/share/kqd/www/index.html /usr/share/kqd/www/app.js /usr/share/kqd/www/style.css; do
  [ -f "$f" ] || fail "kqd: $f not installed"
done
dpkg-query -W -f='${Conffiles}\n' kqd | grep -q '^ /etc/kqd/kqd.toml ' ||
  fail "kqd: /etc/kqd/kqd.toml is not a conffile"
man -w kqd >/dev/null || fail "kqd: man page not found by man"
getent passwd kqd >/dev/null || fail "kqd: no system user kqd"
getent group kqd >/dev/null || fail "kqd: no group kqd"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify /lib/systemd/system/kqd.service 2>&1) ||
    { echo "$out"; fail "kqd: systemd-analyze verify kqd.service"; }
  note "kqd: systemd-analyze verify: no complaint"
fi
out=$(/usr/sbin/kqd --version 2>&1) || fail "kqd --version: $out"
echo "  kqd --version: $out"
grep -q -F "$version" <<<"$out" || fail "kqd --version does not say $version"
# As the service runs it: user kqd, the packaged config.
as_kqd() { (cd / && exec $SUDO setpriv --reuid=kqd --regid=kqd --init-groups -- "$@"); }
out=$(as_kqd /usr/sbin/kqd --config /etc/kqd/kqd.toml --check-config 2>&1) ||
  { echo "$out"; fail "kqd: the packaged config does not pass --check-config"; }

# GET PATH from 127.0.0.1:PORT with nothing but bash: the whole response.
http_get() {
  local port=$1 path=$2
  exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
  printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nConnection: close\r\n\r\n' "$path" "$port" >&3
  timeout 10 cat <&3
  exec 3<&-
}
port=""
for attempt in 1 2 3 4 5; do
  p=$((20000 + RANDOM % 40000))
  if (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
    continue # taken
  fi
  # Not through as_kqd: $! must be kqd itself (or sudo, which passes signals
  # on), not a shell that waits for it.
  (cd / && exec $SUDO setpriv --reuid=kqd --regid=kqd --init-groups -- \
    /usr/sbin/kqd --config /etc/kqd/kqd.toml --simulated --listen "127.0.0.1:$p" \
    --scenario /usr/share/kq-tools/field.scenario) >>"$tmp/kqd.log" 2>&1 &
  kqd_pid=$!
  for _ in $(seq 100); do
    out=$(http_get "$p" /healthz 2>/dev/null) || true
    if head -1 <<<"$out" | grep -q ' 200 '; then
      port=$p
      break 2
    fi
    kill -0 "$kqd_pid" 2>/dev/null || break
    sleep 0.2
  done
  $SUDO kill "$kqd_pid" 2>/dev/null || true
  wait "$kqd_pid" 2>/dev/null || true
  kqd_pid=""
  note "kqd did not answer on port $p (attempt $attempt)"
done
[ -n "$port" ] || { tail -20 "$tmp/kqd.log"; fail "kqd --simulated did not answer /healthz"; }
note "kqd: serving the simulated reader on 127.0.0.1:$port"
out=$(http_get "$port" /v1/readers) || fail "kqd: GET /v1/readers"
grep -q '"KQSIM0001"' <<<"$out" || { echo "$out"; fail "kqd: /v1/readers does not list the simulated reader"; }
grep -q '"E0040150A1B2C301"' <<<"$out" || { echo "$out"; fail "kqd: the example field's tag is not listed"; }
out=$(http_get "$port" /) || fail "kqd: GET /"
head -1 <<<"$out" | grep -q ' 200 ' || { echo "$out" | head; fail "kqd: GET / is not 200"; }
grep -qi '^content-type: text/html' <<<"$out" || fail "kqd: the page is not text/html"
grep -q '<title>kqd' <<<"$out" || fail "kqd: GET / is not the page"
out=$(http_get "$port" /app.js) || fail "kqd: GET /app.js"
grep -qi '^content-type: text/javascript' <<<"$out" || fail "kqd: app.js is not text/javascript"
$SUDO kill -TERM "$kqd_pid"
status=0
wait "$kqd_pid" || status=$?
kqd_pid=""
[ "$status" = 0 ] || { tail -20 "$tmp/kqd.log"; fail "kqd ended with status $status after SIGTERM"; }
sed 's/^/  kqd: /' "$tmp/kqd.log" | tail -5

apt_purge kqd-purge.log "apt-get purge kqd" "${kqd_packages[@]}"
kqd_installed=0
check_purged "${kqd_packages[@]}"
for f in /usr/sbin/kqd /etc/kqd /usr/share/kqd /lib/systemd/system/kqd.service /var/lib/kqd \
         /etc/systemd/system/multi-user.target.wants/kqd.service; do
  [ ! -e "$f" ] || fail "$f left behind after purging kqd"
done
! getent passwd kqd >/dev/null || fail "the user kqd is left after purge"
! getent group kqd >/dev/null || fail "the group kqd is left after purge"
note "kqd: installed, served, stopped and purged ($(( $(date +%s) - start )) s); all kqd checks passed"
