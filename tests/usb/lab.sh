#!/usr/bin/env bash
# The USB lab: serbolt on the kernel's real serial drivers, in a QEMU VM. The Korvan is a USB
# CDC-ACM gadget made in software on dummy_hcd (korvan-sim --port /dev/ttyGS0 plays it; serbolt
# opens /dev/ttyACM0 through cdc_acm), and a 16550 UART is the VM's second serial port. Run by
# `scripts/test --usb`; see the README's "The USB lab".
#
#   tests/usb/lab.sh [SCENARIO...]     all scenarios, or the ones named (tests/usb/scenarios.sh)
#
# SERBOLT_LAB_SERBOLT=PATH tests another serbolt binary (another branch's build) with this
# tree's simulator. SERBOLT_LAB_KVM=0 skips the KVM attempt. The release build, the VM's
# files and the console log of the last run are kept in build-usb/.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=$(pwd)
out=$here/build-usb
vm=$out/vm
mkdir -p "$out"

scripts/install-deps --usb

# ---- the programs: a release tree of our own, and the lab's helper ----
cmake -B "$out" -DCMAKE_BUILD_TYPE=Release -DSERBOLT_TESTS=OFF >/dev/null
cmake --build "$out" -j"$(nproc)" --target serbolt korvan-sim >/dev/null
g++ -std=c++17 -O2 -Wall -Wextra -Wshadow -Wconversion -Wmissing-declarations -Werror \
    -Itests -Isim -o "$out/labtool" tests/usb/labtool.cpp tests/proc.cpp \
    sim/record.cpp sim/options.cpp
serbolt=${SERBOLT_LAB_SERBOLT:-$out/serbolt}
if [ ! -x "$serbolt" ]; then
    echo "lab: SERBOLT_LAB_SERBOLT=$serbolt is not an executable program" >&2
    exit 2
fi

# ---- the kernel: Debian's, with its modules ----
kernel=
for k in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
    v=${k#/boot/vmlinuz-}
    [ -f "/lib/modules/$v/kernel/drivers/usb/gadget/udc/dummy_hcd.ko" ] && kernel=$k && kver=$v
done
if [ -z "$kernel" ]; then
    echo "lab: no kernel in /boot with its modules (dummy_hcd) in /lib/modules" >&2
    exit 1
fi

# ---- the initramfs: busybox, the modules, the programs and their libraries, the scenarios ----
rm -rf "$vm"
root=$vm/root
mkdir -p "$root"/{bin,usr/bin,lib/modules,lab,proc,sys,dev,tmp}
cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
install -m 755 tests/usb/init "$root/init"
cp tests/usb/gadget.sh tests/usb/scenarios.sh "$root/lab/"
cp "$serbolt" "$root/usr/bin/serbolt"
cp "$out/korvan-sim" "$out/labtool" "$root/usr/bin/"
# Each library where the dynamic loader looks for it: the path ldd found it under.
for prog in "$root"/usr/bin/*; do
    { ldd "$prog" || true; } | { grep -o '/[^ ]*' || true; } | while read -r lib; do
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
done
# The USB modules and what they need, in load order (modules.dep lists a module's needs with
# the one to load first last).
moddir=/lib/modules/$kver
: > "$root/lib/modules/load-order"
for m in dummy_hcd usb_f_acm cdc-acm; do
    line=$(grep -E "(^|/)$m\.ko:" "$moddir/modules.dep")
    for ko in $(echo "${line#*:}" | tr ' ' '\n' | tac) "${line%%:*}"; do
        name=$(basename "$ko")
        grep -qx "$name" "$root/lib/modules/load-order" && continue
        cp "$moddir/$ko" "$root/lib/modules/$name"
        echo "$name" >> "$root/lib/modules/load-order"
    done
done
(cd "$root" && find . | cpio -o -H newc --quiet) > "$vm/initrd"

# ---- the VM ----
scenarios=$(IFS=,; echo "$*")
console=$out/lab-console.log
boot_vm() {  # accel, then the limit in seconds for the whole run
    rm -f "$vm/uart.sock"
    # The second and third serial ports (the guest's ttyS1 and ttyS2) are joined by a socket:
    # a 16550 UART with a peer.
    qemu-system-x86_64 -accel "$1" -m 1024 -smp 1 -display none -monitor none -no-reboot \
        -kernel "$kernel" -initrd "$vm/initrd" \
        -append "console=ttyS0 quiet panic=-1 edd=off lab.scenarios=$scenarios" \
        -serial "file:$console" \
        -chardev "socket,id=uart1,path=$vm/uart.sock,server=on,wait=off" -serial chardev:uart1 \
        -chardev "socket,id=uart2,path=$vm/uart.sock" -serial chardev:uart2 \
        </dev/null >"$vm/qemu.log" 2>&1 &
    qemu=$!
}
stop_vm() { kill "$qemu" 2>/dev/null || true; wait "$qemu" 2>/dev/null || true; }
trap stop_vm EXIT
# Waits until the console shows $1 or QEMU ends, at most $2 seconds. Status 1 on time-out.
wait_console() {
    local end=$((SECONDS + $2))
    while [ $SECONDS -lt $end ]; do
        grep -q "$1" "$console" 2>/dev/null && return 0
        kill -0 "$qemu" 2>/dev/null || { grep -q "$1" "$console" 2>/dev/null; return; }
        sleep 0.2
    done
    return 1
}

start=$SECONDS
accel=tcg
# KVM, when there is one, may belong to a hypervisor that boots only its own kernels (Debian's
# then hangs early in boot): give it a short try, then emulate.
if [ "${SERBOLT_LAB_KVM:-1}" != 0 ] && [ -w /dev/kvm ]; then
    : > "$console"
    boot_vm kvm
    if wait_console LAB-BOOTED 20; then
        accel=kvm
    else
        echo "lab: the kernel did not boot under KVM within 20 s; using TCG (emulation)"
        stop_vm
    fi
fi
if [ $accel = tcg ]; then
    : > "$console"
    boot_vm tcg
fi
echo "lab: kernel $kver under $accel; serbolt: $serbolt; console log: $console"
if ! wait_console LAB-DONE 1800; then
    echo "lab: the VM did not finish within 30 minutes" >&2
    stop_vm
fi
wait "$qemu" 2>/dev/null || true
trap - EXIT

# ---- the table ----
grep -a '^LAB-ERROR' "$console" || true
rows=$(grep -a '^LAB-ROW|' "$console" | tr -d '\r' || true)
echo
echo "| # | Scenario | Result | Details |"
echo "|---|---|---|---|"
echo "$rows" | awk -F'|' 'NF >= 4 { printf "| %d | %s | %s | %s |\n", ++n, $2, $3, $4 }'
passed=$(echo "$rows" | grep -c '|PASS|' || true)
failed=$(echo "$rows" | grep -c '|FAIL|' || true)
echo
echo "lab: $passed passed, $failed failed in $((SECONDS - start)) s ($accel)"
if [ "$failed" != 0 ]; then
    echo "lab: what the failed scenarios printed is in $console (lines LAB-LOG|SCENARIO|...)"
fi
grep -q '^LAB-DONE' "$console" && [ "$failed" = 0 ] && [ "$passed" -gt 0 ]
