#!/usr/bin/env bash
# Builds the library and the simulated reader (release preset) and the
# Windows kq.dll of the two MinGW presets (the kq target only, for the NuGet
# package), then runs, against the simulated reader with the field of
# examples/field.scenario:
#   - the C examples (client.c, loop_client.c) and one traced run;
#   - the Python binding: pip-installed offline (pyproject.toml, Debian's
#     setuptools, --no-build-isolation) into a virtual environment that sees
#     Debian's packages, mypy --strict, its pytest suite, then the example;
#   - the .NET binding: Kq.csproj built with xbuild, the tests and example
#     built with mcs and run under Mono; the NuGet package packed with
#     nuget, installed from a local feed into a test project (xbuild) and
#     run under Mono with the native library from the package.
# Everything it makes lands in build/bindings/.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

scripts/deps.sh base bindings
cmake --preset release >/dev/null
cmake --build build/release --target kq kqsim_d2xx
for preset in mingw-i686 mingw-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target kq
done

root=$PWD
bin=$root/build/release/bin
out=$root/build/bindings
rm -rf "$out"
mkdir -p "$out"
sim=(env KQ_D2XX="$bin/libkqsim_d2xx.so" KQSIM_SCENARIO="$root/examples/field.scenario")
expect() { # expect FILE TEXT: FILE holds TEXT, else show FILE and fail
  grep -qF -- "$2" "$1" || { echo "expected '$2' in $1:"; cat "$1"; exit 1; }
}

echo "=== C examples"
for ex in client loop_client; do
  cc -std=c99 -Wall -Wextra -Werror -Iinclude "examples/$ex.c" -o "$out/$ex" \
    -L"$bin" -lkq -Wl,-rpath,"$bin"
done
"${sim[@]}" "$out/client" | tee "$out/client.txt"
expect "$out/client.txt" "tags in the field: 3"
"${sim[@]}" "$out/loop_client" 4 | tee "$out/loop_client.txt"
expect "$out/loop_client.txt" "E0040150A1B2C304" # entered after 3 s
expect "$out/loop_client.txt" "loop ended"
"${sim[@]}" KQ_TRACE="$out/trace.log" "$out/client" >/dev/null
expect "$out/trace.log" 'FT_Write(h=0x51d0, n=5) = 0 FT_OK, 5 written "\x02GU\r\n" 02 47 55 0d 0a'

echo "=== Python binding"
# Debian's interpreter (not a pyenv or other shim first on PATH), a venv
# that sees Debian's setuptools, wheel and pytest; no package index, no
# isolated build environment (pip would fetch setuptools into it).
py=/usr/bin/python3
"$py" -m venv --system-site-packages "$out/venv"
cp -r bindings/python "$out/python-src" # pip builds in the source folder
"$out/venv/bin/pip" install --quiet --no-index --no-build-isolation "$out/python-src"
(cd "$out" && "${sim[@]}" "$out/venv/bin/python" -c "
import importlib.metadata, pathlib, kq
print(kq.__file__)
print('metadata', importlib.metadata.version('kq'), 'package', kq.__version__)
print('typed', (pathlib.Path(kq.__file__).parent / 'py.typed').exists())
print(kq.list_readers(), kq.Reader(read_timeout=300).open().inventory())") |
  tee "$out/python_import.txt"
expect "$out/python_import.txt" "$out/venv/lib/"
expect "$out/python_import.txt" "metadata $(sed -n 's/^__version__ = "\(.*\)"$/\1/p' bindings/python/kq/_version.py) package"
expect "$out/python_import.txt" "typed True"
expect "$out/python_import.txt" "['KQSIM0001'] ['E0040150A1B2C301', 'E0040150A1B2C302', 'E0040150A1B2C3FF']"
# The package folder as it is (what the Debian package installs) imports too.
(cd /tmp && KQ_LIBRARY="$bin/libkq.so.0" PYTHONPATH="$root/bindings/python" "$py" -c \
  "import kq; print(kq.__file__, kq.library_version())") | tee "$out/python_folder.txt"
expect "$out/python_folder.txt" "$root/bindings/python/kq/__init__.py"
# The type hints hold (py.typed promises them), for Linux and for the
# Windows code paths.
"$py" -m mypy --strict --cache-dir "$out/mypy-cache" bindings/python/kq
"$py" -m mypy --strict --platform win32 --cache-dir "$out/mypy-cache" bindings/python/kq
KQ_BUILD_BIN="$bin" "$out/venv/bin/python" -m pytest -q -p no:cacheprovider bindings/python/tests
"${sim[@]}" "$out/venv/bin/python" examples/kq_example.py | tee "$out/kq_example_py.txt"
expect "$out/kq_example_py.txt" "loop ended"

echo "=== .NET binding (Mono)"
# The library assembly as Kq.csproj builds it (net461 reference assemblies).
xbuild /nologo /verbosity:quiet /p:Configuration=Release "/p:OutputPath=$out/xbuild/" \
  "/p:IntermediateOutputPath=$out/xbuild-obj/" bindings/dotnet/Kq.csproj
ls "$out/xbuild/Kq.dll" "$out/xbuild/Kq.xml" "$out/xbuild/Kq.dll.config" >/dev/null
# The same sources with mcs against Mono's own mscorlib, which has
# IAsyncEnumerable: the tests cover Loop.ReadAllAsync too.
mcs -unsafe -warnaserror -define:KQ_ASYNC_ENUMERABLE -target:library -out:"$out/Kq.dll" bindings/dotnet/*.cs
mcs -warnaserror -define:KQ_ASYNC_ENUMERABLE -r:"$out/Kq.dll" -out:"$out/KqTests.exe" bindings/dotnet/tests/KqTests.cs
mcs -warnaserror -r:"$out/Kq.dll" -out:"$out/KqExample.exe" examples/KqExample.cs
# The tests set their own field up through the simulator's kqsim_* functions;
# the trace file is how they see that nothing is sent after Close.
LD_LIBRARY_PATH="$bin" KQ_D2XX="$bin/libkqsim_d2xx.so" KQ_TRACE="$out/dotnet-trace.log" \
  mono "$out/KqTests.exe" include/kq.h
# A library of another MAJOR version, and one from before KQ_GetVersion,
# are refused at the first use.
for fake in "next 10200 version 1.2.0" "old - older than 0.2.0"; do
  read -r name number says <<<"$fake"
  mkdir -p "$out/fake-$name"
  if [ "$number" = - ]; then
    echo 'int KQ_GetSerialNo(char* b) { (void)b; return 19; }' >"$out/fake-$name/fake.c"
  else
    echo "int KQ_GetVersion(void) { return $number; }" >"$out/fake-$name/fake.c"
  fi
  cc -shared -fPIC "$out/fake-$name/fake.c" -o "$out/fake-$name/libkq.so.0"
  ln -sf libkq.so.0 "$out/fake-$name/libkq.so"
  LD_LIBRARY_PATH="$out/fake-$name" mono "$out/KqTests.exe" --version-refused | tee "$out/fake-$name.txt"
  expect "$out/fake-$name.txt" "refused: Kq: the KQ library is $says"
done
LD_LIBRARY_PATH="$bin" "${sim[@]}" mono "$out/KqExample.exe" | tee "$out/kq_example_cs.txt"
expect "$out/kq_example_cs.txt" "loop ended"

echo "=== NuGet package"
# Without the cross builds the packaging fails, and says which is missing.
mkdir -p "$out/no-builds"
if KQ_BUILD_ROOT="$out/no-builds" bindings/dotnet/pack.sh "$out/no-feed" 2>"$out/pack-missing.txt"; then
  echo "pack.sh succeeded without the native libraries"; exit 1
fi
expect "$out/pack-missing.txt" "a native library is missing"
expect "$out/pack-missing.txt" "mingw-i686/bin/kq.dll (scripts/deps.sh cross && scripts/cross-build.sh mingw-i686)"
bindings/dotnet/pack.sh "$out/feed"
version=$(sed -n 's/^#define KQ_VERSION_STRING "\([0-9.]*\)"$/\1/p' include/kq.h)
"$py" - "$out/feed/Kq.$version.nupkg" <<'PY'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
want = {"lib/net461/Kq.dll", "lib/net461/Kq.xml", "lib/net461/Kq.dll.config",
        "runtimes/win-x86/native/kq.dll", "runtimes/win-x64/native/kq.dll",
        "runtimes/linux-x64/native/libkq.so.0", "build/Kq.targets", "Kq.nuspec"}
missing = want - names
print("package:", sys.argv[1], "missing:", sorted(missing) or "nothing")
sys.exit(1 if missing else 0)
PY
# A project that uses the package from a local feed, as an application
# would: no LD_LIBRARY_PATH, the native library comes from the package.
cp -r bindings/dotnet/tests/package "$out/pkgtest"
sed -i "s/id=\"Kq\" version=\"[0-9.]*\"/id=\"Kq\" version=\"$version\"/" "$out/pkgtest/packages.config"
(cd "$out/pkgtest" &&
  HOME="$out/nuget-home" nuget install packages.config -Source "$out/feed" -OutputDirectory packages \
    -NonInteractive -NoCache >"$out/nuget-install.txt" 2>&1 ||
  { cat "$out/nuget-install.txt"; exit 1; })
xbuild /nologo /verbosity:quiet "/p:KqVersion=$version" "$out/pkgtest/KqPackageTest.csproj"
ls "$out/pkgtest/bin/Kq.dll" "$out/pkgtest/bin/Kq.dll.config" "$out/pkgtest/bin/libkq.so.0" >/dev/null
(cd "$out/pkgtest/bin" && env -u LD_LIBRARY_PATH "${sim[@]}" mono KqPackageTest.exe) |
  tee "$out/package_test.txt"
expect "$out/package_test.txt" "binding $version, library $version"
expect "$out/package_test.txt" "loaded $out/pkgtest/bin/libkq.so.0"
expect "$out/package_test.txt" "event: Data [E0040150A1B2C301"
expect "$out/package_test.txt" "package test: ok"
echo "=== bindings: all passed in $(( $(date +%s) - start )) s"
