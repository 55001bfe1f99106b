#!/usr/bin/env bash
# Builds the library and the simulated reader (release preset), then runs,
# against the simulated reader with the field of examples/field.scenario:
#   - the C examples (client.c, loop_client.c) and one traced run;
#   - the Python binding: pip-installed offline into a virtual environment
#     that sees Debian's packages, its pytest suite, then the example script;
#   - the .NET binding: built with Mono's mcs, its tests and the example.
# Everything it makes lands in build/bindings/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh base bindings
cmake --preset release >/dev/null
cmake --build build/release --target kq kqsim_d2xx

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
# that sees Debian's setuptools, wheel and pytest; no package index (the
# plain install of the README: setup.py only, so pip builds with Debian's
# setuptools instead of fetching one).
py=/usr/bin/python3
"$py" -m venv --system-site-packages "$out/venv"
cp -r bindings/python "$out/python-src" # pip builds in the source folder
"$out/venv/bin/pip" install --quiet --no-index "$out/python-src"
(cd "$out" && "${sim[@]}" "$out/venv/bin/python" -c \
  "import kq; print(kq.__file__); print(kq.Reader(read_timeout=300).open().inventory())") |
  tee "$out/python_import.txt"
expect "$out/python_import.txt" "$out/venv/lib/"
expect "$out/python_import.txt" "E0040150A1B2C3FF"
KQ_BUILD_BIN="$bin" "$out/venv/bin/python" -m pytest -q -p no:cacheprovider bindings/python/tests
"${sim[@]}" "$out/venv/bin/python" examples/kq_example.py | tee "$out/kq_example_py.txt"
expect "$out/kq_example_py.txt" "loop ended"

echo "=== .NET binding (Mono)"
mcs -unsafe -warnaserror -target:library -out:"$out/Kq.dll" bindings/dotnet/Kq.cs
mcs -warnaserror -r:"$out/Kq.dll" -out:"$out/KqTests.exe" bindings/dotnet/tests/KqTests.cs
mcs -warnaserror -r:"$out/Kq.dll" -out:"$out/KqExample.exe" examples/KqExample.cs
# The tests set their own field up through the simulator's kqsim_* functions.
LD_LIBRARY_PATH="$bin" KQ_D2XX="$bin/libkqsim_d2xx.so" mono "$out/KqTests.exe" include/kq.h
LD_LIBRARY_PATH="$bin" "${sim[@]}" mono "$out/KqExample.exe" | tee "$out/kq_example_cs.txt"
expect "$out/kq_example_cs.txt" "loop ended"
echo "=== bindings: all passed"
