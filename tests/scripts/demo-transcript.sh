#!/usr/bin/env bash
# demo-transcript.sh SOURCE_DIR BUILD_DIR
# Runs scripts/demo with the programs of BUILD_DIR and compares what it prints with the transcript
# in the README's quick start, line by line, as a screen shows it (a carriage return at the end
# of a line shows as nothing). Only the demo's temporary folder and the simulator's
# pseudo-terminal number may differ.
set -euo pipefail
src=$1 build=$2

normalize() {
    sed -E 's#\r$##; s#/tmp/serbolt-demo\.[A-Za-z0-9]+#/tmp/serbolt-demo.XXXXXX#g; s#/dev/pts/[0-9]+#/dev/pts/N#g'
}

# The README's block: the fenced block after the line that begins "`scripts/demo` prints".
expected=$(awk '/^`scripts\/demo` prints/ { want = 1; next }
                want && /^```/ { if (inside) exit; inside = 1; next }
                inside { print }' "$src/README.md" | normalize)
[ -n "$expected" ] || { echo "FAIL: no demo transcript found in README.md" >&2; exit 1; }

status=0
actual=$(SERBOLT_DEMO_BIN=$build "$src/scripts/demo" 2>&1) || status=$?
echo "$actual"
[ "$status" = 0 ] || { echo "FAIL: scripts/demo ended with status $status" >&2; exit 1; }
actual=$(printf '%s\n' "$actual" | normalize)

if [ "$actual" != "$expected" ]; then
    echo "FAIL: scripts/demo's output differs from the README's transcript (- README, + demo):" >&2
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2 || true
    exit 1
fi
echo "transcript matches the README"
