#!/usr/bin/env bash
# Builds the Kq NuGet package with Debian's Mono (xbuild) and nuget.
# Usage: bindings/dotnet/pack.sh OUTDIR   (from anywhere; writes OUTDIR/Kq.VERSION.nupkg)
#
# It packs what the builds left, and fails when one is missing:
#   build/release/bin/libkq.so.0       cmake --preset release && cmake --build build/release --target kq
#   build/mingw-i686/bin/kq.dll        scripts/deps.sh cross && scripts/cross-build.sh mingw-i686
#   build/mingw-x64/bin/kq.dll         scripts/deps.sh cross && scripts/cross-build.sh mingw-x64
# (the kq target of each cross preset is enough:
#   cmake --preset mingw-x64 && cmake --build --preset mingw-x64 --target kq).
# KQ_BUILD_ROOT names another folder holding those builds (default: build/).
# The version is Library.BindingVersion (Resolver.cs); it must equal kq.h's.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)

fail() { echo "pack.sh: FAIL: $*" >&2; exit 1; }
for tool in xbuild nuget python3; do
  command -v "$tool" >/dev/null || fail "'$tool' not found (scripts/deps.sh bindings)"
done

version=$(sed -n 's/.*public const string BindingVersion = "\([0-9.]*\)";.*/\1/p' "$root/bindings/dotnet/Resolver.cs")
header=$(sed -n 's/^#define KQ_VERSION_STRING "\([0-9.]*\)"$/\1/p' "$root/include/kq.h")
[ -n "$version" ] || fail "no BindingVersion in bindings/dotnet/Resolver.cs"
[ "$version" = "$header" ] || fail "Library.BindingVersion is $version, include/kq.h says $header"

builds=${KQ_BUILD_ROOT:-$root/build}
linux=$builds/release/bin/libkq.so.0
win32=$builds/mingw-i686/bin/kq.dll
win64=$builds/mingw-x64/bin/kq.dll
missing=()
[ -e "$linux" ] || missing+=("$linux (cmake --preset release && cmake --build build/release --target kq)")
[ -e "$win32" ] || missing+=("$win32 (scripts/deps.sh cross && scripts/cross-build.sh mingw-i686)")
[ -e "$win64" ] || missing+=("$win64 (scripts/deps.sh cross && scripts/cross-build.sh mingw-x64)")
if [ ${#missing[@]} -gt 0 ]; then
  printf 'pack.sh: FAIL: a native library is missing:\n' >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi

# Each file must be what its folder says: an x86 or x64 PE DLL importing
# system DLLs only (no MinGW runtime DLL to ship), an x86-64 ELF library
# with the soname libkq.so.0.
python3 - "$win32" "$win64" "$linux" <<'PY'
import struct, sys
def imports(data, off):
    """Names of the DLLs in a PE file's import table."""
    sections = struct.unpack_from("<H", data, off + 6)[0]
    optional = struct.unpack_from("<H", data, off + 20)[0]
    opt = off + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    dirs = opt + (96 if magic == 0x10B else 112)
    rva = struct.unpack_from("<I", data, dirs + 8)[0]  # data directory 1: imports
    table = [struct.unpack_from("<IIII", data, opt + optional + 40 * i + 8)
             for i in range(sections)]  # VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData

    def at(r):
        for size, addr, raw_size, raw in table:
            if addr <= r < addr + max(size, raw_size):
                return raw + r - addr
        raise ValueError(f"RVA 0x{r:x} in no section")

    names, pos = [], at(rva)
    while True:
        name_rva = struct.unpack_from("<I", data, pos + 12)[0]
        if name_rva == 0:
            return names
        end = data.index(b"\0", at(name_rva))
        names.append(data[at(name_rva):end].decode().lower())
        pos += 20


def pe(path, want):
    data = open(path, "rb").read()
    if data[:2] != b"MZ":
        sys.exit(f"pack.sh: FAIL: {path} is not a Windows DLL")
    off = struct.unpack_from("<I", data, 0x3C)[0]
    machine = struct.unpack_from("<H", data, off + 4)[0]
    if machine != want:
        sys.exit(f"pack.sh: FAIL: {path} is for machine 0x{machine:x}, not 0x{want:x}")
    extra = set(imports(data, off)) - {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll"}
    if extra:
        sys.exit(f"pack.sh: FAIL: {path} needs {', '.join(sorted(extra))}, which the package does not carry")


def elf(path):
    data = open(path, "rb").read(64)
    if data[:4] != b"\x7fELF" or data[4] != 2 or struct.unpack_from("<H", data, 18)[0] != 62:
        sys.exit(f"pack.sh: FAIL: {path} is not an x86-64 ELF library")
pe(sys.argv[1], 0x14C)
pe(sys.argv[2], 0x8664)
elf(sys.argv[3])
PY

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/lib/net461" "$stage/build" "$stage/runtimes/win-x86/native" \
         "$stage/runtimes/win-x64/native" "$stage/runtimes/linux-x64/native"
xbuild /nologo /verbosity:quiet /p:Configuration=Release "/p:OutputPath=$stage/xbuild/" \
  "/p:IntermediateOutputPath=$stage/obj/" "$root/bindings/dotnet/Kq.csproj" >"$stage/xbuild.log" 2>&1 ||
  { cat "$stage/xbuild.log" >&2; fail "xbuild of bindings/dotnet/Kq.csproj"; }
cp "$stage/xbuild/Kq.dll" "$stage/xbuild/Kq.xml" "$stage/xbuild/Kq.dll.config" "$stage/lib/net461/"
cp "$root/bindings/dotnet/build/Kq.targets" "$stage/build/"
cp "$win32" "$stage/runtimes/win-x86/native/kq.dll"
cp "$win64" "$stage/runtimes/win-x64/native/kq.dll"
cp -L "$linux" "$stage/runtimes/linux-x64/native/libkq.so.0"
cp "$root/LICENSE" "$stage/LICENSE.txt"
# nuget reads the manifest under the name it gives its own manifests.
cp "$root/bindings/dotnet/Kq.package.xml" "$stage/Kq.nuspec"

# nuget keeps its settings in $HOME; a scratch one keeps the run offline
# and leaves the user's alone.
HOME=$stage/home nuget pack "$stage/Kq.nuspec" -BasePath "$stage" -OutputDirectory "$out" \
  -Version "$version" -NoPackageAnalysis -NonInteractive >"$stage/nuget.log" 2>&1 ||
  { cat "$stage/nuget.log" >&2; fail "nuget pack"; }
echo "pack.sh: $out/Kq.$version.nupkg"
