#!/usr/bin/env bash
# install-deps-test.sh INSTALL_DEPS
# How scripts/install-deps installs what is missing: as root directly, through sudo for a user
# who has it, and with a clear refusal for a user who has not. apt-get and sudo are stand-ins
# that only log how they were called; the packages "found" are empty stand-ins as well.
set -euo pipefail
install_deps=$1

if [ "$(id -u)" != 0 ]; then
    echo "skipped: needs root to run the script as root and as another user"
    exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

# bin/: links to the real shell tools the script uses, and stand-ins (scripts of this test, the
# only files here whose mode is set) for the tools it looks for.
bin=$scratch/bin
mkdir "$bin"
for tool in bash env id sort; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
stand_in() {
    printf '#!/bin/sh\n%s\n' "$2" >"$bin/$1"
    chmod 755 "$bin/$1"
}
for tool in g++ cmake make x86_64-w64-mingw32-g++-posix groff dpkg-shlibdeps; do
    stand_in "$tool" "exit 0"
done
log=$scratch/log
stand_in apt-get "echo \"apt-get \$*\" >>$log"
touch "$log"
chmod 666 "$log"

# A copy that any user can read, wherever the source tree is.
cp "$install_deps" "$scratch/install-deps"
chmod 755 "$scratch/install-deps"
install_deps=$scratch/install-deps

# run USER [sudo]: install-deps --package with lintian missing, as USER (root or nobody).
run() {
    local user=$1 sudo=${2:-}
    rm -f "$bin/sudo"
    [ -z "$sudo" ] || stand_in sudo "echo \"sudo \$*\" >>$log; exec \"\$@\""
    : >"$log"
    local as=()
    [ "$user" = root ] || as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    status=0
    "${as[@]}" env -i PATH="$bin" bash "$install_deps" --package >"$scratch/out" 2>"$scratch/err" || status=$?
    out=$(cat "$scratch/out") err=$(cat "$scratch/err") calls=$(cat "$log")
}

run nobody
[ "$status" = 1 ] || bad "without sudo, not root: status $status"
[[ $err == *"missing packages: lintian"* && $err == *"run this script as root"* ]] ||
    bad "without sudo, not root: standard error says: $err"
[ -z "$calls" ] || bad "without sudo, not root: apt-get was called: $calls"

run nobody sudo
[ "$status" = 0 ] || bad "with sudo: status $status: $err"
expected="sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
apt-get update -q
sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends lintian
apt-get install -y -q --no-install-recommends lintian"
[ "$calls" = "$expected" ] || bad "with sudo, the calls were:
$calls"
[[ $out == *"asking sudo"* && $out == *"usually takes"* ]] || bad "with sudo, standard output says: $out"

run root sudo
[ "$status" = 0 ] || bad "as root: status $status: $err"
[ "$calls" = "apt-get update -q
apt-get install -y -q --no-install-recommends lintian" ] || bad "as root, the calls were (no sudo expected):
$calls"

# Nothing missing: nothing called, nothing said.
stand_in lintian "exit 0"
run nobody
[ "$status" = 0 ] && [ -z "$calls" ] && [ -z "$out$err" ] || bad "with nothing missing: status $status, calls '$calls', output '$out$err'"

[ "$fail" = 0 ] && echo "install-deps ok"
exit "$fail"
