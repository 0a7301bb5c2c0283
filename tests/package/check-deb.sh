#!/usr/bin/env bash
# check-deb.sh DIST VERSION SCRATCH MAINTAINER
# The Debian package that scripts/package left in DIST: its name, control fields and files,
# lintian's verdict, the programs as installed (dpkg -x into SCRATCH/root) run for real, and the
# licence and maintainer it names.
set -euo pipefail
dist=$1 version=$2 scratch=$3 maintainer=$4
license=$(dirname "$0")/../../LICENSE
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

arch=$(dpkg --print-architecture)
deb=$dist/serbolt_${version}_${arch}.deb
[ -f "$deb" ] || { echo "FAIL: no $deb; $dist holds: $(ls "$dist")" >&2; exit 1; }
echo "package: $deb"

field() { dpkg-deb -f "$deb" "$1"; }
for want in Package=serbolt "Version=$version" "Architecture=$arch" Section=utils "Maintainer=$maintainer" \
    Recommends=bash-completion; do
    got=$(field "${want%%=*}")
    [ "$got" = "${want#*=}" ] || bad "${want%%=*}: $got, not ${want#*=}"
done
[ -n "$(field Description)" ] || bad "no Description"
# Dependencies as dpkg-shlibdeps found them: the C and C++ runtimes, nothing else.
depends=$(field Depends)
echo "Depends: $depends"
[[ $depends == *libc6* ]] || bad "Depends lacks libc6: $depends"
for dep in ${depends//,/ }; do
    case $dep in
    libc6|libstdc++6|libgcc-s1|\(*|*\)) ;;
    *) bad "unexpected dependency $dep" ;;
    esac
done

# Exactly these files (directories aside), owned by root.
expected="./usr/bin/korvan-sim
./usr/bin/serbolt
./usr/share/bash-completion/completions/serbolt
./usr/share/doc/serbolt/changelog.gz
./usr/share/doc/serbolt/copyright
./usr/share/man/man1/korvan-sim.1.gz
./usr/share/man/man1/serbolt.1.gz"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$expected" ] || bad "files in the package:
$files
expected:
$expected"
owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
[ "$owners" = root/root ] || bad "owners: $owners"

# lintian: no errors (its warnings and notes are printed for the record).
if ! command -v lintian >/dev/null; then
    bad "lintian is not installed (scripts/install-deps installs it)"
elif ! lintian --allow-root --fail-on error "$deb"; then
    bad "lintian reports errors"
fi

# Installed into a scratch root and run.
root=$scratch/root
rm -rf "$root"
mkdir -p "$root"
dpkg -x "$deb" "$root"
for prog in serbolt korvan-sim; do
    out=$("$root/usr/bin/$prog" --version) || bad "$prog --version: status $?"
    [ "$out" = "$prog $version" ] || bad "$prog --version printed '$out'"
done
status=0
"$root/usr/bin/serbolt" --help >"$scratch/help.out" 2>"$scratch/help.err" || status=$?
[ "$status" = 0 ] || bad "serbolt --help: status $status"
[ ! -s "$scratch/help.out" ] || bad "serbolt --help wrote to standard output"
grep -qx -- '-a ACTION (1=Filetransfer)' "$scratch/help.err" || bad "serbolt --help: no usage text: $(cat "$scratch/help.err")"
# Release programs: no sanitizer runtime, no debugging symbols.
for prog in serbolt korvan-sim; do
    ! readelf -d "$root/usr/bin/$prog" | grep -q 'NEEDED.*lib\(a\|ub\)san' || bad "$prog is linked with a sanitizer"
    ! readelf -S "$root/usr/bin/$prog" | grep -q '\.debug_info\|\.symtab' || bad "$prog is not stripped"
done
# The pages and the changelog carry this version.
zcat "$root/usr/share/man/man1/serbolt.1.gz" | head -1 | grep -q "\"serbolt $version\"" ||
    bad "serbolt.1 names another version: $(zcat "$root/usr/share/man/man1/serbolt.1.gz" | head -1)"
zcat "$root/usr/share/doc/serbolt/changelog.gz" | head -1 | grep -q "^serbolt ($version)" ||
    bad "changelog begins: $(zcat "$root/usr/share/doc/serbolt/changelog.gz" | head -1)"

# The copyright file in Debian's format: the project as upstream contact, and LICENSE's terms
# as the Expat licence, word for word (indented one space, "." for an empty line).
copyright=$root/usr/share/doc/serbolt/copyright
grep -qx "Upstream-Contact: $maintainer" "$copyright" || bad "copyright: $(grep Upstream-Contact "$copyright")"
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$license")" "$copyright" ||
    bad "copyright names other holders than LICENSE: $(grep '^Copyright:' "$copyright")"
terms=$(sed -n '/^License: Expat$/,$ { /^License:/d; s/^ //; s/^\.$//; p }' "$copyright")
[ "$terms" = "$(sed -n '/^Permission is hereby granted/,$ p' "$license")" ] ||
    bad "copyright: License: Expat missing, or its text differs from LICENSE:
$terms"
# The changelog's entry is signed by the same maintainer.
zcat "$root/usr/share/doc/serbolt/changelog.gz" | grep -q "^ -- $maintainer  " ||
    bad "changelog signed: $(zcat "$root/usr/share/doc/serbolt/changelog.gz" | grep '^ -- ')"

[ "$fail" = 0 ] && echo "package ok"
exit "$fail"
