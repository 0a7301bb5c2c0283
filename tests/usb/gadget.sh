# The Korvan's native USB port, made in software: a USB gadget with one CDC-ACM function on
# dummy_hcd. Its gadget side is /dev/ttyGS0 (korvan-sim serves there); the host side, through
# the kernel's cdc_acm driver, is /dev/ttyACM0 (serbolt opens that). Sourced by the VM's init
# and by the scenarios (busybox sh).
G=/sys/kernel/config/usb_gadget/korvan
UDC_NAME=dummy_udc.0

# Runs "$@" every 20 ms until it succeeds, for at most $1 seconds. Status 1 on time-out.
wait_until() {
    tries=$(( $1 * 50 ))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        usleep 20000
    done
}

acm_present() { [ -e /dev/ttyACM0 ]; }
acm_absent() { [ ! -e /dev/ttyACM0 ]; }

gadget_make() {
    mkdir -p $G/strings/0x409 $G/configs/c.1 $G/functions/acm.usb0
    echo 0x1d6b > $G/idVendor      # Linux Foundation
    echo 0x0104 > $G/idProduct     # Multifunction Composite Gadget
    echo korvan-lab > $G/strings/0x409/serialnumber
    echo Korvan > $G/strings/0x409/manufacturer
    echo "Korvan (USB lab)" > $G/strings/0x409/product
    ln -s $G/functions/acm.usb0 $G/configs/c.1/
    plug
}

# The cable in: the gadget bound to the UDC, and the host's /dev/ttyACM0 there.
plug() {
    [ -n "$(cat $G/UDC)" ] || echo $UDC_NAME > $G/UDC
    wait_until 20 acm_present
}

# The cable out: the gadget unbound; the host's cdc_acm sees the device leave the bus.
unplug() {
    echo "" > $G/UDC
    wait_until 20 acm_absent
}

# The harsher pull: the host controller itself goes away under the device.
pull_hcd() {
    rmmod dummy_hcd && wait_until 20 acm_absent
}

return_hcd() {
    insmod /lib/modules/dummy_hcd.ko && wait_until 20 test -e /sys/class/udc/$UDC_NAME && plug
}
