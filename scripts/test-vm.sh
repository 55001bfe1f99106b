#!/usr/bin/env bash
# The library against Linux's own FTDI driver: boots Debian's kernel under
# QEMU (TCG) with two emulated FTDI chips (QEMU's usb-serial on an xHCI
# controller), each wired to a kqsim reader model on a pseudo-terminal of
# this machine, and runs build/release/bin/kqvm_guest inside: once with
# KQ_D2XX=serial, once with KQ_D2XX unset (no vendor library in the guest, so
# the library falls back to the serial provider) with unplug and replug of the
# reader through QMP (device_del, then chardev-add and device_add).
#
# Usage: scripts/test-vm.sh
# Environment: KQ_VM_TIMEOUT  seconds for the guest to finish (default 600)
#              KQ_VM_KEEP     keep the work folder (logs, initramfs)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
stage_start=$(date +%s)

scripts/deps.sh vm

build=$root/build/release
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset release
fi
cmake --build --preset release --target kq kqsim kqtool kqvm_guest

# The kernel of the installed linux-image package (the running kernel may be
# another one).
kver=$(dpkg-query -W -f='${Depends}' linux-image-amd64 | sed -n 's/^linux-image-\([^ ,]*\).*/\1/p')
kernel=/boot/vmlinuz-$kver
moddir=/lib/modules/$kver
if [ -z "$kver" ] || [ ! -r "$kernel" ] || [ ! -f "$moddir/modules.dep" ]; then
  echo "test-vm: no readable kernel and modules for '$kver' ($kernel, $moddir)" >&2
  exit 1
fi

readonly READER_SERIAL=KQ0002BB # ttyUSB0: the reader the tests use
readonly OTHER_SERIAL=KQ0001AA  # ttyUSB1: sorts first, listed second
readonly TAG1=E004010000000001 TAG2=E004010000000002 SENSOR=E004015000000001
readonly CHURN_TAG=E004010000000003

work=$(mktemp -d /tmp/kq-vm.XXXXXX)
pids=()
cleanup() {
  local rc=$?
  exec 8>&- 9<&-
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "${KQ_VM_KEEP:-}" ]; then
    echo "test-vm: work folder kept: $work"
  else
    rm -rf "$work"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- The initramfs: busybox, the USB and FTDI drivers, the programs --------------

initrd=$work/initrd
mkdir -p "$initrd"/{bin,kq,proc,sys,dev,tmp,etc,lib/modules}
cp /bin/busybox "$initrd/bin/busybox"

# Modules in load order, each after what it depends on (modules.dep lists a
# module's dependencies, the deepest last).
loaded=" "
load_order=()
add_module() {
  local name=$1 line path deps dep
  line=$(grep -E "^[^:]*/${name}\.ko(\.[a-z]+)?:" "$moddir/modules.dep" || true)
  if [ -z "$line" ]; then
    echo "test-vm: module $name not found in $moddir/modules.dep" >&2
    exit 1
  fi
  path=${line%%:*}
  deps=${line#*:}
  local reversed=()
  for dep in $deps; do reversed=("$dep" "${reversed[@]}"); done
  for dep in "${reversed[@]}"; do
    dep=${dep##*/}
    add_module "${dep%%.ko*}"
  done
  case "$loaded" in *" $path "*) return ;; esac
  loaded+="$path "
  load_order+=("$path")
}
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  add_module "$m"
done
for path in "${load_order[@]}"; do
  base=${path##*/}
  case "$base" in
    *.ko) cp "$moddir/$path" "$initrd/lib/modules/$base" ;;
    *.ko.xz) xz -dc "$moddir/$path" > "$initrd/lib/modules/${base%.xz}"; base=${base%.xz} ;;
    *.ko.zst) zstd -qdc "$moddir/$path" > "$initrd/lib/modules/${base%.zst}"; base=${base%.zst} ;;
    *) echo "test-vm: cannot unpack $path" >&2; exit 1 ;;
  esac
  echo "$base" >> "$initrd/lib/modules/load-order"
done

# The project's programs and every shared library they load.
cp "$build/bin/kqvm_guest" "$build/bin/kqtool" "$initrd/kq/"
# The library under every name a program may ask for (libkq.so.0, its SONAME,
# and the plain libkq.so), as files: the guest gets no symbolic links.
for lib in "$build"/bin/libkq.so*; do cp -L "$lib" "$initrd/kq/"; done
for lib in $(ldd "$build/bin/kqvm_guest" "$build/bin/kqtool" "$build/bin/libkq.so" |
               awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' | sort -u); do
  case "$lib" in "$build"/*) continue ;; esac
  mkdir -p "$initrd$(dirname "$lib")"
  cp -L "$lib" "$initrd$lib"
done
if [ -e "$initrd/kq/libftd2xx.so" ] || find "$initrd" -name 'libftd2xx*' | grep -q .; then
  echo "test-vm: a vendor library slipped into the guest" >&2
  exit 1
fi

printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n' > "$initrd/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\nnogroup:x:65534:\n' > "$initrd/etc/group"

cat > "$initrd/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
echo "KQVM-BOOTED \$(cut -d' ' -f1 /proc/uptime)"
while read -r m; do
  insmod "/lib/modules/\$m" || echo "KQVM-ERROR insmod \$m"
done < /lib/modules/load-order
i=0
while [ ! -e /dev/ttyUSB1 ] && [ \$i -lt 600 ]; do sleep 0.1; i=\$((i + 1)); done
echo "KQVM-PORTS \$(cut -d' ' -f1 /proc/uptime) \$(ls /dev/ttyUSB* 2>/dev/null | tr '\n' ' ')"
export LD_LIBRARY_PATH=/kq
args="--reader $READER_SERIAL --other $OTHER_SERIAL --kqtool /kq/kqtool"
KQ_D2XX=serial /kq/kqvm_guest \$args
echo "KQVM-END serial \$?"
env -u KQ_D2XX /kq/kqvm_guest \$args --hotplug
echo "KQVM-END fallback \$?"
echo "KQVM-DONE \$(cut -d' ' -f1 /proc/uptime)"
poweroff -f
EOF
chmod 755 "$initrd/init"
(cd "$initrd" && find . | cpio -o -H newc --quiet) > "$work/initrd.cpio"

# ---- The reader models --------------------------------------------------------------

# Starts kqsim with these options; sets sim_tty to its pseudo-terminal and
# sim_pid.
start_kqsim() {
  local log=$1
  shift
  "$build/bin/kqsim" "$@" > "$log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  for _ in $(seq 100); do
    sim_tty=$(head -n 1 "$log" 2>/dev/null || true)
    case "$sim_tty" in /dev/*) return 0 ;; esac
    sleep 0.1
  done
  echo "test-vm: kqsim did not start:" >&2
  cat "$log" >&2
  exit 1
}
# The reader: a new model for every plug-in, as a real reader starts afresh
# when it gets power again (its own loop off, nothing half sent).
tag1_text=$(printf '0123456789ABCDEF%.0s' 1 2 3 4 5)
start_reader() {
  start_kqsim "$work/reader-$1.log" --interval 100 --tag "$TAG1:4:64" \
    --data "$TAG1:0:$tag1_text" --tag "$TAG2" --tag "$SENSOR" --sensor "$SENSOR:90:00A1B2C3"
  reader_tty=$sim_tty
  reader_pid=$sim_pid
}
stop_reader() {
  kill "$reader_pid" 2>/dev/null || true
  wait "$reader_pid" 2>/dev/null || true
  local kept=() pid
  for pid in "${pids[@]}"; do
    [ "$pid" = "$reader_pid" ] || kept+=("$pid")
  done
  pids=("${kept[@]}")
}
start_reader 0
start_kqsim "$work/other.log" --interval 100 --tag "$CHURN_TAG" --churn 1500
other_tty=$sim_tty

# ---- The machine ----------------------------------------------------------------------

mkfifo "$work/qmp.in" "$work/qmp.out"
: > "$work/console.log"
boot_start=$(date +%s.%N)
qemu-system-x86_64 -accel tcg -cpu max -m 512 -smp 1 -nodefaults -display none -no-reboot \
  -kernel "$kernel" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 loglevel=3 panic=-1" \
  -serial "file:$work/console.log" \
  -chardev "pipe,id=qmp,path=$work/qmp" -mon chardev=qmp,mode=control \
  -device qemu-xhci,id=xhci \
  -chardev "serial,id=c0,path=$reader_tty" \
  -device "usb-serial,id=rd0,chardev=c0,serial=$READER_SERIAL" \
  -chardev "serial,id=other,path=$other_tty" \
  -device "usb-serial,id=rd1,chardev=other,serial=$OTHER_SERIAL" \
  > "$work/qemu.log" 2>&1 &
qemu_pid=$!
pids+=("$qemu_pid")
cat "$work/qmp.out" > "$work/qmp.log" &
pids+=($!)
exec 8<> "$work/qmp.in"

qmp() { printf '%s\n' "$1" >&8; }
# Waits until the QMP log has a line matching the pattern.
qmp_wait() {
  local pattern=$1
  for _ in $(seq 150); do
    grep -qE "$pattern" "$work/qmp.log" && return 0
    sleep 0.1
  done
  echo "test-vm: no QMP answer matching '$pattern'" >&2
  return 1
}
qmp '{"execute": "qmp_capabilities"}'

# The reader's current USB device and chardev, and a count for fresh ids.
device=rd0
chardev=c0
plugs=0
plugged=1
unplug() {
  if [ $plugged -eq 0 ]; then
    echo "test-vm: the reader is unplugged already" >&2
    return
  fi
  plugged=0
  qmp "{\"execute\": \"device_del\", \"arguments\": {\"id\": \"$device\"}}"
  qmp_wait "\"DEVICE_DELETED\".*\"device\": \"$device\"" || return 0
  # The chardev is free once its device is gone. It goes, and so does the
  # reader model behind it: an unplugged reader loses power and its state. A
  # replug brings a new model behind a new chardev.
  qmp "{\"execute\": \"chardev-remove\", \"arguments\": {\"id\": \"$chardev\"}}"
  stop_reader
}
replug() {
  # Two devices on one reader model would share its bytes.
  if [ $plugged -eq 1 ]; then
    echo "test-vm: the reader is plugged in already" >&2
    return
  fi
  plugged=1
  plugs=$((plugs + 1))
  start_reader "$plugs"
  device=rd0r$plugs
  chardev=c0r$plugs
  qmp "{\"execute\": \"chardev-add\", \"arguments\": {\"id\": \"$chardev\",
       \"backend\": {\"type\": \"serial\", \"data\": {\"device\": \"$reader_tty\"}}}}"
  qmp "{\"execute\": \"device_add\", \"arguments\": {\"driver\": \"usb-serial\",
       \"id\": \"$device\", \"chardev\": \"$chardev\", \"serial\": \"$READER_SERIAL\"}}"
}

# ---- Following the guest -------------------------------------------------------------

timeout_s=${KQ_VM_TIMEOUT:-600}
deadline=$((SECONDS + timeout_s))
exec 9< <(tail -n +1 -f "$work/console.log")
pids+=($!)
declare -A ended=()
booted="" ports="" done_at="" partial="" handled=0
while :; do
  if [ $SECONDS -ge $deadline ]; then
    echo "test-vm: no end after ${timeout_s} s" >&2
    break
  fi
  if IFS= read -r -t 1 chunk <&9; then
    line=${partial}${chunk}
    partial=""
  else
    partial+=$chunk
    if ! kill -0 "$qemu_pid" 2>/dev/null; then
      # Whatever the guest still wrote is in the log already.
      while IFS= read -r -t 1 chunk <&9; do echo "guest| ${chunk%$'\r'}"; done
      echo "test-vm: QEMU ended" >&2
      break
    fi
    continue
  fi
  line=${line%$'\r'}
  echo "guest| $line"
  case "$line" in
    KQVM-BOOTED*) booted=$(date +%s.%N) ;;
    KQVM-PORTS*) ports=$(date +%s.%N) ;;
    KQVM-REQUEST*)
      read -r -a words <<< "$line"
      if [ "${words[1]}" -gt "$handled" ]; then
        handled=${words[1]}
        echo "test-vm: ${words[2]} (request $handled)"
        case "${words[2]}" in
          unplug) unplug ;;
          replug) replug ;;
          *) echo "test-vm: unknown request '${words[2]}'" >&2 ;;
        esac
      fi
      ;;
    KQVM-END*)
      read -r -a words <<< "$line"
      ended[${words[1]}]=${words[2]}
      ;;
    KQVM-DONE*)
      done_at=$(date +%s.%N)
      break
      ;;
  esac
done

# The guest powers off by itself; QEMU gets a little time to end.
for _ in $(seq 100); do
  kill -0 "$qemu_pid" 2>/dev/null || break
  sleep 0.1
done

fail=0
for run in serial fallback; do
  if [ "${ended[$run]:-missing}" != 0 ]; then
    echo "test-vm: the $run run ended with status ${ended[$run]:-(none)}" >&2
    fail=1
  fi
done
[ -n "$done_at" ] || fail=1
if [ $fail -ne 0 ]; then
  echo "---- QEMU" >&2; tail -n 20 "$work/qemu.log" >&2
  echo "---- QMP" >&2; tail -n 40 "$work/qmp.log" >&2
  echo "---- the reader model (last lines)" >&2; tail -n 20 "$work/reader-$plugs.log" >&2
  exit 1
fi
awk -v s="$boot_start" -v b="$booted" -v p="$ports" -v d="$done_at" -v t="$stage_start" \
  -v now="$(date +%s)" 'BEGIN {
    printf "test-vm: kernel up %.1f s, readers bound %.1f s after start; tests %.1f s; stage %d s\n",
           b - s, p - s, d - p, now - t }'
