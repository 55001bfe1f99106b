#!/usr/bin/env bash
# Checks the exported interface of the built libraries:
#   - kq.dll (i686, x86-64) and libkq.so export exactly the 28 KQ_ functions,
#     nothing more, nothing less, under their plain names;
#   - the three two-name functions are one entry point (same address);
#   - i686: every function returns with "ret $N" (__stdcall, N = its argument
#     bytes), and the import library carries the __stdcall names
#     (KQ_OpenUSB@4);
#   - the DLLs need no runtime DLLs besides Windows' own (static runtime);
#   - the simulated reader DLLs export the 15 FT_* functions plain-named.
#
# Usage: scripts/check-exports.sh [library...]
#   Without arguments: the libraries of the cross builds (build/mingw-i686,
#   build/mingw-x64, build/linux-i386). With arguments: those files
#   (kq.dll, kqsim_d2xx.dll or libkq.so), e.g. build/release/bin/libkq.so.
# A missing tool or library fails the check.
set -euo pipefail
args=()
for a in "$@"; do args+=("$(realpath -m "$a")"); done
set -- "${args[@]+"${args[@]}"}"
cd "$(dirname "$0")/.."

fail=0
note() { echo "check-exports: $*"; }
bad() { echo "check-exports: FAIL: $*" >&2; fail=1; }

need_tool() {
  if ! command -v "$1" >/dev/null 2>&1; then
    echo "check-exports: FAIL: tool '$1' not found (scripts/deps.sh ${2:-cross})" >&2
    exit 1
  fi
}

EXPECTED_KQ=(
  KQ_GetSerialNo KQ_OpenUSB KQ_CheckStatusUSB KQ_CloseUSB
  KQ_Init_TAGINFO KQ_Init_PROPERTY KQ_Init_IN_TA KQ_Init_OUT_TA KQ_Init_IN_SR
  KQ_Init_IN_SNSR KQ_Init_OUT_SNSR KQ_Init_IN_SW KQ_Init_OUT_GU KQ_Init_IN_MW
  KQ_Init_OUT_MR KQ_Init_OUT_MW
  KQ_BuzzerCommand KQ_LoopStop
  KQ_GetUID KQ_TagCommand KQ_SelectRead KQ_SelectWrite KQ_MultiRead KQ_MultiWrite
  KQ_SensorCommand
  KQ_GetReaderCount KQ_GetSerialNoAt KQ_GetVersion
)
ALIASES=("KQ_Init_IN_TA KQ_Init_OUT_TA" "KQ_Init_IN_SR KQ_Init_IN_SNSR"
         "KQ_Init_OUT_MR KQ_Init_OUT_MW")
# __stdcall argument bytes on 32-bit Windows: three pointers, two pointers,
# pointer + int; int + pointer; none; every other function takes one pointer.
declare -A STDCALL_BYTES=([KQ_SelectRead]=12 [KQ_SensorCommand]=12 [KQ_SelectWrite]=8
                          [KQ_BuzzerCommand]=8 [KQ_GetSerialNoAt]=8 [KQ_GetVersion]=0)
# __stdcall argument bytes of the FT_* functions on 32-bit Windows (the
# vendor's prototypes; UCHAR and USHORT arguments take 4 bytes each).
FT_STDCALL=(FT_ListDevices=12 FT_OpenEx=12 FT_ResetDevice=4 FT_SetBaudRate=8
            FT_SetDataCharacteristics=16 FT_SetFlowControl=16 FT_SetTimeouts=12
            FT_Purge=8 FT_GetStatus=16 FT_GetQueueStatus=8 FT_SetBreakOn=4
            FT_SetBreakOff=4 FT_Write=16 FT_Read=16 FT_Close=4)
EXPECTED_FT=(
  FT_ListDevices FT_OpenEx FT_ResetDevice FT_SetBaudRate FT_SetDataCharacteristics
  FT_SetFlowControl FT_SetTimeouts FT_Purge FT_GetStatus FT_GetQueueStatus
  FT_SetBreakOn FT_SetBreakOff FT_Write FT_Read FT_Close
)
# Windows system DLLs a statically linked mingw-w64 program may import.
SYSTEM_DLLS='^(kernel32|user32|msvcrt|advapi32|ws2_32|shell32|ole32|api-ms-win-.*)\.dll$'

# Prints "name address" for every exported name of a PE file.
pe_exports() {
  local objdump=$1 file=$2
  "$objdump" -p "$file" | awk '
    /^Export Address Table --/ { mode = "eat"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { mode = "names"; next }
    /^[[:space:]]*$/ { mode = ""; next }
    mode == "eat" && /Export RVA/ {
      gsub(/[\[\]]/, " "); rva[$1] = $4; next }
    mode == "eat" && /Forwarder RVA/ { gsub(/[\[\]]/, " "); rva[$1] = "forward"; next }
    mode == "names" { gsub(/[\[\]]/, " "); print $2, rva[$1] }'
}

# Number of entries in a PE export address table (named or not).
pe_export_count() {
  "$1" -p "$2" | awk '/^Export Address Table --/ { m = 1; next } /^[[:space:]]*$/ { m = 0 }
                      m && /RVA/ { n++ } END { print n + 0 }'
}

compare_names() { # label, file with "name address" lines, expected names...
  local label=$1 listing=$2
  shift 2
  local want got
  want=$(printf '%s\n' "$@" | sort)
  got=$(awk '{print $1}' "$listing" | sort)
  if [ "$want" != "$got" ]; then
    bad "$label: exported names differ from the expected list"
    diff <(echo "$want") <(echo "$got") | sed -n 's/^</  missing: /p; s/^>/  extra:   /p' >&2 || true
    return 1
  fi
  note "$label: exactly the ${#@} expected names"
}

check_aliases() { # label, listing
  local pair a b addr_a addr_b ok=1
  for pair in "${ALIASES[@]}"; do
    read -r a b <<<"$pair"
    addr_a=$(awk -v n="$a" '$1 == n {print $2}' "$2")
    addr_b=$(awk -v n="$b" '$1 == n {print $2}' "$2")
    if [ -z "$addr_a" ] || [ "$addr_a" != "$addr_b" ]; then
      bad "$1: $a ($addr_a) and $b ($addr_b) are not one entry point"
      ok=0
    fi
  done
  [ "$ok" -eq 1 ] && note "$1: alias pairs share their entry points"
  return 0
}

pe_tool() { # objdump or nm for the PE file's machine
  local file=$1 tool=$2 fmt
  fmt=$(objdump -f "$file" 2>/dev/null | sed -n 's/.*file format //p' || true)
  if [ -z "$fmt" ]; then
    # The host objdump may lack PE support; ask the mingw tools.
    fmt=$(x86_64-w64-mingw32-objdump -f "$file" 2>/dev/null | sed -n 's/.*file format //p' || true)
  fi
  case "$fmt" in
    pei-i386) echo "i686-w64-mingw32-$tool" ;;
    pei-x86-64) echo "x86_64-w64-mingw32-$tool" ;;
    *) echo "unknown" ;;
  esac
}

check_pe_imports() { # label, objdump, file
  local dll
  while read -r dll; do
    if ! [[ "${dll,,}" =~ $SYSTEM_DLLS ]]; then
      bad "$1: imports $dll (the runtime should be linked statically)"
    fi
  done < <("$2" -p "$3" | sed -n 's/^[[:space:]]*DLL Name: //p')
}

# Sets the caller's objdump (the tool for the PE file's machine) and listing
# (a temporary file of its exports, "name address" lines); listing stays
# empty when the file is not a Windows DLL.
pe_listing() { # file
  listing=
  objdump=$(pe_tool "$1" objdump)
  if [ "$objdump" = unknown ]; then
    bad "$1: not a Windows DLL"
    return 0
  fi
  need_tool "$objdump"
  listing=$(mktemp)
  pe_exports "$objdump" "$1" >"$listing"
}

check_kq_dll() {
  local file=$1 objdump nm listing
  pe_listing "$file"
  [ -n "$listing" ] || return 0
  compare_names "$file" "$listing" "${EXPECTED_KQ[@]}" || true
  if [ "$(pe_export_count "$objdump" "$file")" -ne "${#EXPECTED_KQ[@]}" ]; then
    bad "$file: the export table has entries besides the named ones"
  fi
  if grep -q forward "$listing"; then bad "$file: forwarded exports"; fi
  check_aliases "$file" "$listing"
  check_pe_imports "$file" "$objdump" "$file"
  rm -f "$listing"

  if [ "$objdump" = i686-w64-mingw32-objdump ]; then
    local fn entries=()
    for fn in "${EXPECTED_KQ[@]}"; do entries+=("$fn=${STDCALL_BYTES[$fn]:-4}"); done
    check_stdcall_code "$file" "KQ_ function" "${entries[@]}"
    # The import library of the 32-bit DLL: every function under its
    # __stdcall name with the right argument size.
    local implib
    implib=$(find "${file%/*}/.." -name "lib$(basename "$file").a" -print -quit)
    if [ -z "$implib" ]; then
      bad "$file: import library lib$(basename "$file").a not found"
      return
    fi
    nm=${objdump%objdump}nm
    need_tool "$nm"
    local want got fn
    want=$(for fn in "${EXPECTED_KQ[@]}"; do echo "_${fn}@${STDCALL_BYTES[$fn]:-4}"; done | sort)
    got=$("$nm" "$implib" | awk '$2 == "T" {print $3}' | sort)
    if [ "$want" != "$got" ]; then
      bad "$implib: __stdcall names differ"
      diff <(echo "$want") <(echo "$got") >&2 || true
    else
      note "$implib: all ${#EXPECTED_KQ[@]} functions as __stdcall (name@bytes)"
    fi
  fi
}

# 32-bit Windows: every function named returns with "ret $N", N its argument
# bytes, as __stdcall requires (the callee removes its arguments).
check_stdcall_code() { # file, label, then name=bytes...
  local file=$1 label=$2 syms entry fn bytes addr next rets bad_rets ok=1
  shift 2
  need_tool i686-w64-mingw32-nm
  syms=$(mktemp)
  i686-w64-mingw32-nm -n "$file" | awk '$2 ~ /^[tT]$/ {print $1, $3}' >"$syms"
  for entry in "$@"; do
    fn=${entry%=*}
    bytes=${entry#*=}
    addr=$(awk -v n="_${fn}@${bytes}" '$2 == n {print $1; exit}' "$syms")
    if [ -z "$addr" ]; then
      bad "$file: no __stdcall symbol _${fn}@${bytes} (or no symbol table)"
      ok=0
      continue
    fi
    # Compared as text: "707416e7" must not read as a number.
    next=$(awk -v a="$addr" '($1 "") > (a "") {print $1; exit}' "$syms")
    rets=$(i686-w64-mingw32-objdump -d --no-show-raw-insn --start-address="0x$addr" \
             ${next:+--stop-address="0x$next"} "$file" | grep -E '[[:space:]]ret' || true)
    # A function without arguments returns with a plain "ret".
    if [ "$bytes" -eq 0 ]; then
      bad_rets=$(grep -v -E "[[:space:]]ret[[:space:]]*\$" <<<"$rets" || true)
    else
      bad_rets=$(grep -v -E "ret[[:space:]]+\\\$0x$(printf '%x' "$bytes")\$" <<<"$rets" || true)
    fi
    if [ -z "$rets" ] || [ -n "$bad_rets" ]; then
      bad "$file: $fn does not return as __stdcall with $bytes argument bytes"
      ok=0
    fi
  done
  [ "$ok" -eq 1 ] && note "$file: every $label returns with ret \$N (__stdcall)"
  rm -f "$syms"
}

check_sim_dll() {
  local file=$1 objdump listing fn
  pe_listing "$file"
  [ -n "$listing" ] || return 0
  for fn in "${EXPECTED_FT[@]}"; do
    grep -q "^$fn " "$listing" || bad "$file: $fn is not exported under its plain name"
  done
  if grep -q '@' "$listing"; then
    bad "$file: decorated exports: $(grep '@' "$listing" | awk '{print $1}' | tr '\n' ' ')"
  fi
  if grep -v -E '^(FT_|kqsim_)' "$listing" | grep -q .; then
    bad "$file: exports besides FT_* and kqsim_*: $(grep -v -E '^(FT_|kqsim_)' "$listing" | awk '{print $1}' | tr '\n' ' ')"
  fi
  check_pe_imports "$file" "$objdump" "$file"
  note "$file: the ${#EXPECTED_FT[@]} FT_* functions plain-named"
  if [ "$objdump" = i686-w64-mingw32-objdump ]; then
    check_stdcall_code "$file" "FT_ function" "${FT_STDCALL[@]}"
  fi
  rm -f "$listing"
}

check_so() {
  local file=$1 listing
  need_tool nm base
  listing=$(mktemp)
  nm -D --defined-only "$file" | awk '{print $3, $1}' >"$listing"
  compare_names "$file" "$listing" "${EXPECTED_KQ[@]}" || true
  check_aliases "$file" "$listing"
  rm -f "$listing"
}

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  files=(build/mingw-i686/bin/kq.dll build/mingw-i686/bin/kqsim_d2xx.dll
         build/mingw-x64/bin/kq.dll build/mingw-x64/bin/kqsim_d2xx.dll
         build/linux-i386/bin/libkq.so)
fi

for f in "${files[@]}"; do
  if [ ! -f "$f" ]; then
    bad "$f: not found (build it first: scripts/cross-build.sh)"
    continue
  fi
  case "$(basename "$f")" in
    kq.dll) check_kq_dll "$f" ;;
    kqsim_d2xx.dll) check_sim_dll "$f" ;;
    libkq.so*) check_so "$f" ;;
    *) bad "$f: unknown kind of library" ;;
  esac
done

if [ "$fail" -ne 0 ]; then
  echo "check-exports: FAILED" >&2
  exit 1
fi
echo "check-exports: all checks passed"
