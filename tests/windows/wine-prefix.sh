#!/bin/sh
# Wine prefix of the serbolt2 tests.
#   wine-prefix.sh setup DIR    fresh prefix DIR/prefix with COM7 and COM12 mapped to the
#                               link DIR/com7 and COM1 to the empty file DIR/not-a-port,
#                               and a wineserver that stays up for the test run
#   wine-prefix.sh cleanup DIR  ends that wineserver
# The rest of Wine's environment (WINEDLLOVERRIDES, WINEDEBUG, LC_ALL, XDG_RUNTIME_DIR) comes from
# the caller, the test's environment.
set -eu
dir=$2
export WINEPREFIX="$dir/prefix"
# Seconds the wineserver outlives its last client. Keeps it (and Wine's own
# services) up between tests; it goes away by itself if the cleanup never runs.
persist=60
# Wine without its preloader fails about one start in a few thousand when
# address randomization puts a mapping where the Windows process needs its
# shared user data; the tests run it with a fixed layout, and so does this.
fixed=$(setarch "$(uname -m)" -R true 2>/dev/null && echo "setarch $(uname -m) -R" || true)

case $1 in
setup)
    mkdir -p "$dir"
    # A runtime directory belongs to its user alone.
    if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
        mkdir -p "$XDG_RUNTIME_DIR"
        chmod 700 "$XDG_RUNTIME_DIR"
    fi
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    start=$(date +%s)
    $fixed wineboot -i >/dev/null 2>&1 </dev/null
    # Wine's mount manager re-creates the dosdevices links from this key on start;
    # a link written by hand into dosdevices would be replaced.
    # Wine opens /dev/ttyS<N-1> for a COM<N> whose link leads nowhere, so no
    # mapping here may dangle: COM1 (the default port) leads to an empty file,
    # which opens but cannot be configured, and so does COM7 between tests.
    : > "$dir/not-a-port"
    ln -sfn "$dir/not-a-port" "$dir/com7"
    for map in "COM1 $dir/not-a-port" "COM7 $dir/com7" "COM12 $dir/com7"; do
        set -- $map
        $fixed wine reg add 'HKEY_LOCAL_MACHINE\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$2" /f \
            >/dev/null 2>&1 </dev/null
    done
    wineserver -k
    wineserver -w
    wineserver -p$persist >/dev/null 2>&1 </dev/null
    echo "Wine prefix ready in $(( $(date +%s) - start )) s: $WINEPREFIX"
    ;;
cleanup)
    wineserver -k 2>/dev/null || true
    ;;
*)
    echo "usage: $0 setup|cleanup DIR" >&2
    exit 2
    ;;
esac
