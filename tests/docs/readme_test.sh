#!/usr/bin/env bash
# The README's first C program and the shell lines that follow it, run as
# they stand: the program is compiled against the built library and run
# against the simulated reader (and with no reader at all); the shell lines
# run in a folder laid out like the source folder (include/, examples/,
# build/release/bin/), and the client they build then runs from elsewhere.
#
# Usage: readme_test.sh SOURCE_DIR BIN_DIR WORK_DIR CC [CFLAGS]
set -euo pipefail
src=$1 bin=$2 work=$3 compiler=$4 cflags=${5:-}
readme=$src/README.md
fail() { echo "readme_test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"

# The first ```c block, and the first ```sh block after it.
awk '/^```c$/ && !done { on = 1; next } on && /^```$/ { on = 0; done = 1 } on' "$readme" \
  > "$work/snippet.c"
awk '/^```c$/ { seen_c = 1 } seen_c && /^```sh$/ && !done { on = 1; next }
     on && /^```$/ { on = 0; done = 1 } on' "$readme" > "$work/lines.sh"
[ -s "$work/snippet.c" ] || fail "no C block in README.md"
[ -s "$work/lines.sh" ] || fail "no sh block after the C block in README.md"
grep -q 'int main' "$work/snippet.c" || fail "the README's C block is not a whole program"

# 1. The program compiles cleanly as C99 and finds the scenario's tags.
# shellcheck disable=SC2086
"$compiler" $cflags -std=c99 -Wall -Wextra -Werror -pedantic -I"$src/include" \
  "$work/snippet.c" -o "$work/snippet" -L"$bin" -lkq -Wl,-rpath,"$bin" \
  || fail "the README's C program does not compile"
sim=(env KQ_D2XX="$bin/libkqsim_d2xx.so" KQSIM_SCENARIO="$src/examples/field.scenario")
out=$("${sim[@]}" "$work/snippet") || fail "the README's C program failed: $out"
expected=$'E0040150A1B2C301\nE0040150A1B2C302\nE0040150A1B2C3FF'
[ "$out" = "$expected" ] || fail "the README's C program printed '$out', not the scenario's tags"

# 2. No reader: it says so and fails, touching no uninitialised memory.
# (valgrind cannot run a program built with a sanitizer, which checks it itself.)
check=()
if command -v valgrind >/dev/null && [[ $cflags != *-fsanitize* ]]; then
  check=(valgrind -q --error-exitcode=99)
fi
rc=0
err=$(env KQ_D2XX="$work/no-such-driver.so" "${check[@]}" "$work/snippet" 2>&1 >/dev/null) || rc=$?
[ "$rc" -eq 1 ] || fail "with no reader the program exited $rc, not 1: $err"
grep -q 'no reader: KQ_ERR_SERIALNO' <<<"$err" || fail "with no reader it said: $err"

# 3. The shell lines, in a folder laid out like the source folder.
tree=$work/tree
mkdir -p "$tree/build/release"
ln -s "$src/include" "$tree/include"
ln -s "$src/examples" "$tree/examples"
ln -s "$bin" "$tree/build/release/bin"
output=$(
  cd "$tree"
  # `cc` is the build's C compiler, with the build's flags.
  # shellcheck disable=SC2086
  cc() { "$compiler" $cflags "$@"; }
  while IFS= read -r line; do
    case "$line" in '#'* | '') continue ;; esac
    echo "+ $line" >&2
    eval "$line"
  done < "$work/lines.sh"
) || fail "a shell line of README.md failed"
while IFS= read -r line; do
  case "$line" in
    '# '*) want=${line#\# } ;;
    *) continue ;;
  esac
  want=${want%% ...}
  grep -q -F -- "$want" <<<"$output" || fail "expected '$want' in the output:"$'\n'"$output"
done < "$work/lines.sh"

# 4. The client they built runs from any folder.
[ -x "$tree/client" ] || fail "the shell lines built no ./client"
other=$(cd / && "${sim[@]}" "$tree/client") || fail "./client does not run from /: $other"
grep -q 'tags in the field: 3' <<<"$other" || fail "./client from / printed: $other"
echo "readme_test: the README's program and shell lines work"
