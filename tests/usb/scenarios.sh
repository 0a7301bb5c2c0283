# The USB lab's scenarios, run inside the VM (busybox sh) by its init:
#
#   sh /lab/scenarios.sh [NAME...]      every scenario, or the ones named
#
# Each prints one line "LAB-ROW|NAME|PASS or FAIL|details"; a failed one also prints the files
# it gathered as "LAB-LOG|NAME|FILE: line". korvan-sim serves on the gadget side (/dev/ttyGS0)
# with --port; serbolt opens the host side, /dev/ttyACM0, through the kernel's cdc_acm driver.
. /lab/gadget.sh
ACM=/dev/ttyACM0
LAB=/tmp/lab
ALL="upload-0 upload-1 upload-4096 upload-1MiB upload-10485758 piped-terminal speed-921600
unplug-pipe unplug-keyboard-cable unplug-keyboard-hcd unplug-upload reboot-reenumerate
two-uploads stall-64KiB stall-128KiB stall-256KiB uart-16550 sim-uart-16550 progress-acm"
STALL_LIMIT=25   # a device that stops reading fails an upload within this many seconds

now() { cut -d' ' -f1 /proc/uptime; }
# $2 - $1, two times of now(), in seconds.
elapsed() { awk "BEGIN { printf \"%.2f\", $2 - $1 }"; }
# The status and the seconds of a "status=N seconds=S" line of labtool.
status_of() { echo "$1" | sed -n 's/.*status=\([-0-9]*\).*/\1/p'; }
seconds_of() { echo "$1" | sed -n 's/.*seconds=\([0-9.]*\).*/\1/p'; }
# The same as words for a row's details.
outcome() {
    case $1 in *step-failed*) note=" (a step did not happen: see the screen)" ;; *) note= ;; esac
    echo "status $(status_of "$1") after $(seconds_of "$1") s$note"
}
# True when file $1 holds the text $2.
holds() { grep -qF -- "$2" "$1" 2>/dev/null; }
# Adds words to the row's details.
say() { detail="${detail:+$detail; }$*"; }
# Fails the scenario with a reason unless "$@" succeeds.
check() {
    reason=$1
    shift
    "$@" && return 0
    say "$reason"
    return 1
}

# korvan-sim on the gadget side, with the options given.
sim_start() {
    korvan-sim --port /dev/ttyGS0 --store "$S/store" --record "$S/record" "$@" \
        > "$S/sim.out" 2> "$S/sim.log" &
    SIM=$!
    labtool wait-text "$S/sim.out" /dev/ttyGS0 20 || { say "korvan-sim did not start"; return 1; }
}

sim_stop() {
    [ -n "$SIM" ] || return 0
    kill "$SIM" 2>/dev/null
    wait "$SIM" 2>/dev/null
    SIM=
}

# serbolt with its output in the scenario's folder, killed after $1 seconds; the rest are its
# arguments. Sets $run to labtool's "status=N seconds=S".
serbolt_run() {
    limit=$1
    shift
    run=$(labtool run "$limit" "$S/serbolt.out" "$S/serbolt.err" -- /usr/bin/serbolt "$@")
}

# ---- uploads ----

upload_of() {
    labtool mkfile "$S/file" "$1"
    sim_start || return 1
    serbolt_run 180 -d $ACM -a 1 -i "$S/file" -o up/file < /dev/null
    say "$1 bytes, $(outcome "$run")"
    check "status is not 0" [ "$(status_of "$run")" = 0 ] &&
        check "the stored copy differs" cmp -s "$S/file" "$S/store/up/file"
}
sc_upload_0() { upload_of 0; }
sc_upload_1() { upload_of 1; }
sc_upload_4096() { upload_of 4096; }
sc_upload_1MiB() { upload_of 1048576; }
sc_upload_10485758() { upload_of 10485758; }

# ---- the terminal ----

sc_piped_terminal() {
    sim_start || return 1
    # Keys after the x are not sent.
    run=$(printf 'ls\nxversion\n' | labtool run 30 "$S/serbolt.out" "$S/serbolt.err" -- /usr/bin/serbolt -d $ACM)
    check "x: status $(status_of "$run"), not 0" [ "$(status_of "$run")" = 0 ] || return 1
    labtool wait-text "$S/sim.log" "command: ls" 10
    check "the keys before x did not arrive" holds "$S/sim.log" "command: ls" &&
        check "keys after x were sent" eval '! holds "$S/sim.log" "command: version"' || return 1
    # The end of the input ends the terminal, after what the device still says.
    run=$(printf 'version\n' | labtool run 30 "$S/serbolt.out" "$S/serbolt.err" -- /usr/bin/serbolt -d $ACM)
    say "x: status 0; end of input: $(outcome "$run")"
    check "status is not 0" [ "$(status_of "$run")" = 0 ] &&
        check "the answer to version is missing" holds "$S/serbolt.out" "Korvan simulator 1.0"
}

# A terminal fed by a FIFO that stays open until the test writes to fd 3; labtool's
# "status=... seconds=..." lands in $S/run.
terminal_on_fifo() {
    mkfifo "$S/keys"
    labtool run 60 "$S/serbolt.out" "$S/serbolt.err" -- /usr/bin/serbolt -d $ACM \
        < "$S/keys" > "$S/run" &
    TERM_PID=$!
    exec 3> "$S/keys"
    labtool wait-text "$S/serbolt.out" "connected." 20 || { say "serbolt did not connect"; return 1; }
}

sc_speed_921600() {
    sim_start && terminal_on_fifo || return 1
    line=$(labtool line $ACM)
    echo x >&3
    exec 3>&-
    wait $TERM_PID
    say "ttyACM0 read back while serbolt held it: $line; x: $(outcome "$(cat "$S/run")")"
    check "not 921600 8N1 raw" [ "$line" = "921600 8N1 raw" ]
}

sc_unplug_pipe() {
    sim_start && terminal_on_fifo || return 1
    t0=$(now)
    unplug
    wait $TERM_PID
    t1=$(now)
    exec 3>&-
    plug
    run=$(cat "$S/run")
    say "status $(status_of "$run"), $(elapsed "$t0" "$t1") s after the unplug"
    check "status is not 1" [ "$(status_of "$run")" = 1 ] &&
        check "no 'connection lost.'" holds "$S/serbolt.out" "Serial device $ACM - connection lost."
}

# The device greets with a boot line when it is back. cdc_acm opens a new device with echo on,
# so what the device sends before serbolt has set the line raw comes back to it: the keys
# after a return begin with a line feed that ends such a line.

# At a keyboard: the cable pulled ($1) and put back ($2) while serbolt waits; keys typed
# meanwhile are dropped, x leaves with status 0.
unplug_at_keyboard() {
    sim_start || return 1
    run=$(labtool pty -s "$S/screen" -e "$S/serbolt.err" -t 30 \
        wait="connected." type='help\n' wait="Commands:" \
        sh=". /lab/gadget.sh; $1" wait="connection lost." type='ls\n' taken \
        sh=". /lab/gadget.sh; $2" wait="connected." type='\nversion\n' wait="Korvan simulator 1.0" \
        type=x -- /usr/bin/serbolt -d $ACM)
    acm_present || plug
    say "$(outcome "$run")"
    check "status is not 0" [ "$(status_of "$run")" = 0 ] &&
        check "keys typed while unplugged reached the device" eval '! holds "$S/sim.log" "command: ls"' &&
        check "the keys after the return did not arrive" holds "$S/sim.log" "command: version"
}
sc_unplug_keyboard_cable() { unplug_at_keyboard unplug plug; }
sc_unplug_keyboard_hcd() { unplug_at_keyboard pull_hcd return_hcd; }

sc_unplug_upload() {
    labtool mkfile "$S/file" 1048576
    # At the line's rate the upload takes some 11 s; the cable goes after 100 KB.
    sim_start --rate 92160 || return 1
    labtool run 120 "$S/serbolt.out" "$S/serbolt.err" -- /usr/bin/serbolt -d $ACM -a 1 \
        -i "$S/file" -o up/file < /dev/null > "$S/run" &
    pid=$!
    labtool wait-size "$S/record" 100000 60 || { say "the upload did not begin"; wait $pid; return 1; }
    t0=$(now)
    unplug
    wait $pid
    t1=$(now)
    plug
    run=$(cat "$S/run")
    say "status $(status_of "$run"), $(elapsed "$t0" "$t1") s after the unplug"
    check "status is not 1" [ "$(status_of "$run")" = 1 ] &&
        check "something was stored" [ -z "$(find "$S/store" -type f)" ]
}

# The device answers "reboot", leaves the bus and comes back, as a Korvan with a native USB port
# re-enumerates; serbolt, in the terminal after -b -t, finds it again.
sc_reboot_reenumerate() {
    labtool mkfile "$S/file" 4096
    sim_start || return 1
    run=$(labtool pty -s "$S/screen" -e "$S/serbolt.err" -t 30 \
        sh="labtool wait-text $S/sim.log 'command: reboot' 20 && . /lab/gadget.sh && unplug" \
        wait="connection lost." sh=". /lab/gadget.sh; plug" wait="connected." \
        type='\nhelp\n' wait="Commands:" type=x \
        -- /usr/bin/serbolt -d $ACM -a 1 -i "$S/file" -o fw/file -b -t)
    acm_present || plug
    say "$(outcome "$run")"
    check "status is not 0" [ "$(status_of "$run")" = 0 ] &&
        check "the stored copy differs" cmp -s "$S/file" "$S/store/fw/file" &&
        check "no 'Reboot sent...'" holds "$S/screen" "Reboot sent..."
}

sc_two_uploads() {
    labtool mkfile "$S/file" 1048576
    sim_start --rate 92160 || return 1
    labtool run 120 "$S/first.out" "$S/first.err" -- /usr/bin/serbolt -d $ACM -a 1 \
        -i "$S/file" -o up/first < /dev/null > "$S/run" &
    pid=$!
    labtool wait-size "$S/record" 1000 60 || { say "the first upload did not begin"; wait $pid; return 1; }
    serbolt_run 60 -d $ACM -a 1 -i "$S/file" -o up/second < /dev/null
    second=$run
    wait $pid
    first=$(cat "$S/run")
    say "first: status $(status_of "$first"); second: status $(status_of "$second"), $(head -c 120 "$S/serbolt.err")"
    check "the first upload failed" [ "$(status_of "$first")" = 0 ] &&
        check "the first's stored copy differs" cmp -s "$S/file" "$S/store/up/first" &&
        check "the second was not refused" [ "$(status_of "$second")" = 1 ] &&
        check "the second does not say the line is in use" holds "$S/serbolt.err" "in use by another program" &&
        check "the second stored something" [ ! -e "$S/store/up/second" ]
}

# A device that stops reading after 1000 bytes: the upload fails within STALL_LIMIT seconds.
stall_of() {
    labtool mkfile "$S/file" $(($1 * 1024))
    sim_start --stall-after 1000 || return 1
    serbolt_run 40 -d $ACM -a 1 -i "$S/file" -o up/file < /dev/null
    secs=$(seconds_of "$run")
    say "$1 KiB: $(outcome "$run")"
    check "status is not 1" [ "$(status_of "$run")" = 1 ] &&
        check "longer than $STALL_LIMIT s" awk "BEGIN { exit !($secs <= $STALL_LIMIT) }"
}
sc_stall_64KiB() { stall_of 64; }
sc_stall_128KiB() { stall_of 128; }
sc_stall_256KiB() { stall_of 256; }

# The 16550 of the VM (base 115200 baud) cannot run at 921600: its driver keeps 9600.
sc_uart_16550() {
    serbolt_run 30 -d /dev/ttyS1 < /dev/null
    say "status $(status_of "$run"); $(head -1 "$S/serbolt.out"); $(head -1 "$S/serbolt.err")"
    check "status is not 1" [ "$(status_of "$run")" = 1 ] &&
        check "no [attributes] line" holds "$S/serbolt.out" "Serial device /dev/ttyS1 - failed to connect [attributes]." &&
        check "no reason" holds "$S/serbolt.err" "serbolt: /dev/ttyS1: the driver set 9600 baud, not 921600"
}

sc_sim_uart_16550() {
    run=$(labtool run 30 "$S/sim.out" "$S/sim.log" -- /usr/bin/korvan-sim --port /dev/ttyS2 \
        --store "$S/store")
    say "status $(status_of "$run"); $(head -1 "$S/sim.log")"
    check "status is not 1" [ "$(status_of "$run")" = 1 ] &&
        check "no reason" holds "$S/sim.log" "korvan-sim: /dev/ttyS2: the driver set 9600 baud, not 921600"
}

# The progress line of an upload over cdc_acm: never below what the device had received by
# then, redrawn at least twice a second; at full USB speed (10 MiB) and at the line's rate
# (1 MiB, some 11 s, cdc_acm's queue full all along).
progress_of() {
    rm -rf "$S/store" "$S/record"
    labtool mkfile "$S/file" "$1"
    shift
    sim_start "$@" || return 1
    run=$(labtool pty -s "$S/screen" -e "$S/serbolt.err" -p "$S/progress" -t 180 \
        -- /usr/bin/serbolt -d $ACM -a 1 -i "$S/file" -o up/file)
    sim_stop
    verdict=$(labtool progress-check "$S/progress" "$S/record")
    say "$(($(stat -c %s "$S/file") / 1024)) KiB ${*:-at full speed}: $(seconds_of "$run") s, $verdict"
    check "status $(status_of "$run"), not 0" [ "$(status_of "$run")" = 0 ] &&
        check "the stored copy differs" cmp -s "$S/file" "$S/store/up/file" &&
        [ "${verdict%%:*}" = ok ]
}

sc_progress_acm() {
    progress_of 10485758
    full=$?
    progress_of 1048576 --rate 92160 && [ $full = 0 ]
}

# ---- the run ----

log_files() {
    for f in "$S"/*; do
        case $f in *.out|*.err|*.log|*/screen|*/run|*/progress) ;; *) continue ;; esac
        tail -c 3000 "$f" | tr '\r' '\n' | grep -v '^$' | tail -40 |
            sed "s#^#LAB-LOG|$name|$(basename "$f"): #"
    done
}

for name in ${*:-$ALL}; do
    fn=sc_$(echo "$name" | tr '-' '_')
    if ! type "$fn" > /dev/null 2>&1; then
        echo "LAB-ROW|$name|FAIL|no such scenario"
        continue
    fi
    S=$LAB/$name
    rm -rf "$S"
    mkdir -p "$S"
    # Each scenario begins with the cable plugged in afresh: bytes that an earlier one left in
    # the gadget's USB requests (a stalled upload, a boot line nobody read) go with the unplug.
    unplug
    plug || { echo "LAB-ROW|$name|FAIL|the gadget did not come back"; continue; }
    detail=
    SIM=
    if $fn; then
        echo "LAB-ROW|$name|PASS|$detail"
        sim_stop
        rm -rf "$S"
    else
        echo "LAB-ROW|$name|FAIL|$detail"
        sim_stop
        log_files
    fi
done
