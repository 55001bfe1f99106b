#!/usr/bin/env bash
# Builds the Windows release archives out/kq-VERSION-windows-x86.zip and
# out/kq-VERSION-windows-x64.zip from the mingw-i686 and mingw-x64 builds
# (scripts/cross-build.sh), then checks them:
#   - exactly the expected files (DLLs, import library, kq.def, kq.h, the
#     simulated reader DLL, kqtool, the example as source and program, readme,
#     licence, changelog);
#   - the exports of both DLLs (scripts/check-exports.sh);
#   - each DLL's and program's version resource: file and product version,
#     binary and text, equal to the project version (wrestool);
#   - the x64 archive's kqtool --version, kqtool inventory and client.exe
#     under Wine, in a fresh Wine prefix that is removed afterwards.
#
# Usage: scripts/windows-archives.sh     (builds what is missing first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)


scripts/deps.sh base cross winzip
fail() { echo "windows-archives: FAIL: $*" >&2; exit 1; }
note() { echo "windows-archives: $*"; }
for t in zip unzip wrestool od; do
  command -v "$t" >/dev/null || fail "$t not found (scripts/deps.sh winzip)"
done

version=$(sed -n 's/^project(kq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"

for preset in mingw-i686 mingw-x64; do
  if [ ! -f "build/$preset/bin/client.exe" ]; then
    scripts/cross-build.sh "$preset"
  else
    cmake --build --preset "$preset" --target kq kqsim_d2xx kqtool -j "${KQ_JOBS:-2}" >/dev/null
  fi
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kq-winzip.XXXXXX")
cleanup() {
  [ -n "${WINEPREFIX:-}" ] && "${WINESERVER:-true}" -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p out

EXPECTED=(README.txt LICENSE.txt CHANGELOG.md include/kq.h lib/libkq.dll.a lib/kq.def
          bin/kq.dll bin/kqsim_d2xx.dll bin/kqtool.exe bin/client.exe examples/client.c)

# Binary file and product version of a PE file's version resource, as
# "a.b.c.d a.b.c.d" (VS_FIXEDFILEINFO follows its signature 0xFEEF04BD).
fixed_versions() {
  wrestool -x --raw -t 16 "$1" | od -An -v -tx1 | tr -s ' \n' ' ' | awk '
  function hex(s,   i, v) {
    v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v
  }
  {
    n = split($0, b, " ")
    for (i = 1; i + 23 <= n; i++) {
      if (b[i] == "bd" && b[i+1] == "04" && b[i+2] == "ef" && b[i+3] == "fe") {
        # struct version, then FileVersionMS, FileVersionLS, ProductVersionMS, LS
        for (k = 0; k < 4; k++) {
          o = i + 8 + 4 * k
          hi[k] = hex(b[o+3] b[o+2]); lo[k] = hex(b[o+1] b[o])
        }
        printf "%d.%d.%d.%d %d.%d.%d.%d\n", hi[0], lo[0], hi[1], lo[1], hi[2], lo[2], hi[3], lo[3]
        exit
      }
    }
  }'
}

check_version_resource() { # file
  local fixed strings
  fixed=$(fixed_versions "$1")
  [ "$fixed" = "$version.0 $version.0" ] ||
    fail "$(basename "$1"): version resource says '$fixed' (file, product), not $version.0"
  strings=$(wrestool -x --raw -t 16 "$1" | tr -d '\0')
  grep -q "FileVersion$version" <<<"$strings" || fail "$(basename "$1"): no FileVersion $version"
  grep -q "ProductVersion$version" <<<"$strings" || fail "$(basename "$1"): no ProductVersion $version"
}

for arch in x86 x64; do
  case $arch in
    x86) preset=mingw-i686 abi="32-bit, __stdcall exports under their plain names" ;;
    x64) preset=mingw-x64 abi="64-bit" ;;
  esac
  dir=build/$preset
  name=kq-$version-windows-$arch
  stage=$tmp/$name
  mkdir -p "$stage/bin" "$stage/include" "$stage/lib" "$stage/examples"
  cp "$dir/bin/kq.dll" "$dir/bin/kqsim_d2xx.dll" "$dir/bin/kqtool.exe" "$dir/bin/client.exe" "$stage/bin/"
  cp "$dir/src/libkq.dll.a" "$stage/lib/"
  cp "$dir/src/kq-kq.def" "$stage/lib/kq.def"
  cp include/kq.h "$stage/include/"
  cp examples/client.c "$stage/examples/"
  # Text files with Windows line ends.
  sed -e "s/@VERSION@/$version/g" -e "s/@ARCH@/$arch/g" -e "s/@ABI@/$abi/g" -e 's/$/\r/' \
    packaging/windows/README.txt.in >"$stage/README.txt"
  sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
  sed 's/$/\r/' CHANGELOG.md >"$stage/CHANGELOG.md"
  rm -f "out/$name.zip"
  (cd "$tmp" && zip -q -r -X "$root/out/$name.zip" "$name")

  # Check what a user unpacks.
  got=$(unzip -Z1 "out/$name.zip" | grep -v '/$' | sed "s|^$name/||" | sort)
  want=$(printf '%s\n' "${EXPECTED[@]}" | sort)
  if [ "$got" != "$want" ]; then
    diff <(echo "$want") <(echo "$got") >&2 || true
    fail "$name.zip does not hold the expected files"
  fi
  rm -rf "$tmp/check" && mkdir "$tmp/check"
  unzip -q "out/$name.zip" -d "$tmp/check"
  unpacked=$tmp/check/$name
  scripts/check-exports.sh "$unpacked/bin/kq.dll" "$unpacked/bin/kqsim_d2xx.dll"
  for f in kq.dll kqsim_d2xx.dll kqtool.exe; do
    check_version_resource "$unpacked/bin/$f"
  done
  note "$name.zip: $(stat -c %s "out/$name.zip") bytes, contents, exports and version resources OK"
done

# The x64 archive under Wine, as unpacked.
WINE=${KQ_WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINE%/*}/wineserver
[ -x "$WINE" ] && [ -x "$WINESERVER" ] || fail "$WINE not found (Debian package wine64)"
export WINEPREFIX=$tmp/wineprefix
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
bin=$tmp/check/kq-$version-windows-x64/bin
cd "$bin"
if out=$("$root/scripts/wine-run.sh" kqtool.exe --version 2>&1); then
  echo "  kqtool --version: $out"
  grep -q -F "$version" <<<"$out" || fail "kqtool --version does not say $version"
else
  fail "kqtool --version under Wine: $out"
fi
out=$("$root/scripts/wine-run.sh" kqtool.exe inventory) || { echo "$out"; fail "kqtool inventory under Wine"; }
echo "$out" | sed 's/^/  kqtool: /'
grep -q 'in the field' <<<"$out" || fail "kqtool inventory printed no inventory"
out=$(KQ_D2XX=kqsim_d2xx.dll "$root/scripts/wine-run.sh" client.exe) ||
  { echo "$out"; fail "client.exe under Wine"; }
echo "$out" | sed 's/^/  client: /'
grep -q '^reader: KQSIM' <<<"$out" || fail "client.exe did not find the simulated reader"
note "the x64 archive runs under Wine; archives in out/"
