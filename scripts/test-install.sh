#!/usr/bin/env bash
# Installs the library as a user would and builds a client against it:
#   1. copies the source tree without tests/ to a scratch folder and
#      configures it with KQ_BUILD_TESTS=OFF, GoogleTest made unfindable;
#   2. builds it and installs it into a scratch prefix, which is then moved
#      (everything installed must be relocatable);
#   3. checks the SONAME and the exports of the installed libkq.so.0;
#   4. builds examples/client.c once with pkg-config and once with CMake's
#      find_package(kq) and runs both against the installed simulated reader;
#   5. runs the installed kqtool (--version, --simulated inventory) with no
#      KQ_D2XX set.
#
# Usage: scripts/test-install.sh     (KQ_KEEP=1 keeps the scratch folder)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)


scripts/deps.sh base install
for t in cmake ninja pkg-config cc readelf; do
  command -v "$t" >/dev/null || { echo "test-install: FAIL: $t not found" >&2; exit 1; }
done

version=$(sed -n 's/^project(kq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "test-install: FAIL: no version in CMakeLists.txt" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kq-install.XXXXXX")
[ "${KQ_KEEP:-0}" = 1 ] || trap 'rm -rf "$tmp"' EXIT
fail() { echo "test-install: FAIL: $*" >&2; exit 1; }
note() { echo "test-install: $*"; }

# 1. A source tree without the tests, configured without GoogleTest.
mkdir "$tmp/src"
tar -C "$root" --exclude=./build --exclude=./tests --exclude=./.git -cf - . | tar -C "$tmp/src" -xf -
start=$(date +%s)
cmake -S "$tmp/src" -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_WERROR=ON \
  -DKQ_BUILD_TESTS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$tmp/configure.log" ||
  { cat "$tmp/configure.log"; fail "configure without tests and GoogleTest"; }
cmake --build "$tmp/build" -j "${KQ_JOBS:-2}"
note "built without tests/ and GoogleTest in $(( $(date +%s) - start )) s"

# 2. Install, then move the prefix.
cmake --install "$tmp/build" --prefix "$tmp/stage" >"$tmp/install.log"
mv "$tmp/stage" "$tmp/prefix"
prefix=$tmp/prefix
libdir=$prefix/lib
[ -f "$libdir/libkq.so.$version" ] || fail "libkq.so.$version not installed in $libdir"
for f in include/kq.h bin/kqtool bin/kqsim lib/kq/libkqsim_d2xx.so lib/pkgconfig/kq.pc \
         lib/cmake/kq/kqConfig.cmake lib/cmake/kq/kqConfigVersion.cmake \
         lib/udev/rules.d/60-kq-reader.rules share/man/man1/kqtool.1 share/man/man1/kqsim.1 \
         share/doc/kq/LICENSE share/doc/kq/CHANGELOG.md; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ "$(readlink "$libdir/libkq.so.0")" = "libkq.so.$version" ] || fail "libkq.so.0 does not link to libkq.so.$version"
[ "$(readlink "$libdir/libkq.so")" = "libkq.so.0" ] || fail "libkq.so does not link to libkq.so.0"
note "installed and moved to $prefix"

# 3. ABI name and exports.
soname=$(readelf -d "$libdir/libkq.so.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libkq.so.0 ] || fail "SONAME is '$soname', not libkq.so.0"
note "SONAME $soname"
scripts/check-exports.sh "$libdir/libkq.so.0"

sim=$libdir/kq/libkqsim_d2xx.so
run_client() { # label, program
  local out
  out=$(cd "$tmp" && env -u LD_LIBRARY_PATH KQ_D2XX="$sim" \
    KQSIM_SCENARIO="$root/examples/field.scenario" "$2") ||
    { echo "$out"; fail "$1: the example client failed"; }
  echo "$out" | sed "s/^/  $1: /"
  grep -q '^reader: KQSIM' <<<"$out" || fail "$1: the client did not find the simulated reader"
  grep -q '^tags in the field: [1-9]' <<<"$out" || fail "$1: the client found no tags in the field"
}

# 4a. pkg-config: compile and link flags from the moved kq.pc.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion kq)" = "$version" ] || fail "kq.pc says version $(pkg-config --modversion kq)"
pc_libdir=$(pkg-config --variable=libdir kq)
[ "$(realpath "$pc_libdir")" = "$(realpath "$libdir")" ] || fail "kq.pc points at $pc_libdir"
# shellcheck disable=SC2046 # pkg-config's output is a list of flags
cc -std=c99 -Wall -Wextra -Werror -pedantic examples/client.c -o "$tmp/client-pkgconfig" \
  $(pkg-config --cflags --libs kq) -Wl,-rpath,"$pc_libdir"
run_client pkg-config "$tmp/client-pkgconfig"

# 4b. CMake: find_package(kq) in a project of its own.
mkdir "$tmp/consumer"
cp examples/client.c "$tmp/consumer/"
cat >"$tmp/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(kq_consumer C)
find_package(kq $version REQUIRED)
if(NOT kq_VERSION VERSION_EQUAL "$version")
  message(FATAL_ERROR "found kq \${kq_VERSION}")
endif()
add_executable(client client.c)
target_link_libraries(client PRIVATE kq::kq)
CMAKE
cmake -S "$tmp/consumer" -B "$tmp/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-std=c99 -Wall -Wextra -Werror -pedantic" >"$tmp/consumer.log" ||
  { cat "$tmp/consumer.log"; fail "find_package(kq)"; }
cmake --build "$tmp/consumer/build" >/dev/null
run_client find_package "$tmp/consumer/build/client"
# A request for the next major version must not be satisfied.
sed -i "s/find_package(kq $version REQUIRED)/find_package(kq $((${version%%.*} + 1)) QUIET)\nif(kq_FOUND)\n  message(FATAL_ERROR \"next major accepted\")\nendif()\nreturn()/" \
  "$tmp/consumer/CMakeLists.txt"
cmake -S "$tmp/consumer" -B "$tmp/consumer/build2" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
  fail "find_package(kq $((${version%%.*} + 1))) accepted version $version"
note "find_package rejects the next major version"

# 5. The installed kqtool finds its simulated reader by itself.
if out=$(cd "$tmp" && env -u KQ_D2XX "$prefix/bin/kqtool" --version 2>&1); then
  echo "  kqtool --version: $out"
  grep -q -F "$version" <<<"$out" || fail "kqtool --version does not say $version"
else
  fail "kqtool --version: $out"
fi
out=$(cd "$tmp" && env -u KQ_D2XX "$prefix/bin/kqtool" --simulated inventory) ||
  { echo "$out"; fail "kqtool --simulated inventory"; }
echo "$out" | sed 's/^/  kqtool: /'
grep -q '3 tags in the field' <<<"$out" || fail "kqtool inventory printed no inventory"
note "all checks passed"
