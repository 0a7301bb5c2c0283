#!/usr/bin/env bash
# completion-test.sh COMPLETION_FILE PRIVATE_DEV_SCRIPT
# Bash completion of serbolt, in a private /dev (see tests/linux/private-dev.sh) holding a USB
# serial adapter, a CDC-ACM adapter and a stable by-id name. Exit status 77: skipped.
set -euo pipefail
completion=$1 private_dev=$2

bash -n "$completion" || { echo "FAIL: $completion has a syntax error" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/files"
touch "$scratch/files/app.bin" "$scratch/files/app.hex" "$scratch/files/other.txt"

# The checks, run inside the private /dev. c WORDS... completes the last word.
cat >"$scratch/checks.sh" <<'CHECKS'
set -u
completion=$1 files=$2
mkdir -p /dev/serial/by-id
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd   # as a real /dev has it
touch /dev/ttyACM0 /dev/serial/by-id/usb-Korvan_Adapter-if00-port0
source "$completion"
fail=0
c() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _serbolt
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}
expect() {
    local want=$1; shift
    local got
    got=$(c "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$*' completes to '$got', expected '$want'" >&2
        fail=1
    fi
}
[ "$(complete -p serbolt)" = "complete -F _serbolt serbolt" ] || { echo "FAIL: not registered for serbolt" >&2; fail=1; }
expect "--help --version -a -b -d -h -i -o -r -t" serbolt ""
expect "--help --version" serbolt --
expect "-a -b -d -h -i -o -r -t" serbolt -d /dev/ttyUSB0 -   # --help and --version only alone
expect "/dev/serial/by-id/usb-Korvan_Adapter-if00-port0 /dev/ttyACM0 /dev/ttyUSB0 /dev/ttyUSB1" serbolt -d ""
expect "/dev/ttyACM0" serbolt -d /dev/ttyA
expect "/dev/serial/by-id/usb-Korvan_Adapter-if00-port0" serbolt -b -d /dev/serial/
expect "$files/app.bin $files/app.hex" serbolt -a 1 -i "$files/app"
expect "$files/other.txt" serbolt -d /dev/ttyUSB0 -d "$files/o"   # any path, such as a simulator's link
expect "-1 1" serbolt -a ""
expect "" serbolt -a 1 -i x -o ""
exit $fail
CHECKS

status=0
"$private_dev" /dev/null /dev/null bash "$scratch/checks.sh" "$completion" "$scratch/files" || status=$?
if [ "$status" = 99 ]; then
    echo "skipped: no private /dev here (private-dev's reason is the line above)"
    exit 77
fi
[ "$status" = 0 ] && echo "completion ok"
exit "$status"
