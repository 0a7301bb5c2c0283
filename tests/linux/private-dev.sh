#!/bin/sh
# Runs a command with a private /dev of its own, so tests can offer (or withhold) /dev/ttyUSB0
# and /dev/ttyUSB1 without touching the machine's real /dev.
#
#   private-dev.sh USB0 USB1 command [args...]
#
# USB0 and USB1 name what /dev/ttyUSB0 and /dev/ttyUSB1 link to; "-" leaves that name absent.
# Exit status 99 when a private mount namespace cannot be made here; standard error then says
# why, in the system's words (such as "unshare: cannot change root filesystem propagation:
# Invalid argument" in a chroot whose root is not a mount point).
if [ "$(id -u)" != 0 ]; then
    echo "private-dev: a private /dev needs root, and this runs as uid $(id -u)" >&2
    exit 99
fi
if ! reason=$(unshare -m --propagation private true 2>&1); then
    echo "private-dev: ${reason:-unshare -m --propagation private failed}" | head -1 >&2
    exit 99
fi
exec unshare -m --propagation private sh -c '
    set -e
    usb0=$1; usb1=$2; shift 2
    old=$(mktemp -d)
    mount --rbind /dev "$old"
    mount -t tmpfs -o mode=755 private-dev /dev
    for n in null zero tty random urandom; do
        touch "/dev/$n"
        mount --bind "$old/$n" "/dev/$n"
    done
    mkdir /dev/pts
    mount --bind "$old/pts" /dev/pts
    ln -s pts/ptmx /dev/ptmx
    umount -l "$old"
    rmdir "$old"
    [ "$usb0" = - ] || ln -s "$usb0" /dev/ttyUSB0
    [ "$usb1" = - ] || ln -s "$usb1" /dev/ttyUSB1
    exec "$@"
' private-dev "$@"
