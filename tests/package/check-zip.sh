#!/usr/bin/env bash
# check-zip.sh DIST VERSION SCRATCH [WINE]
# The Windows zip that scripts/package left in DIST: its name and files, texts with Windows line
# ends, the licence, and a serbolt2.exe that needs no DLL beyond Windows' own. With WINE (and the
# Wine test prefix in the environment), the zipped program is run for its --version.
set -euo pipefail
dist=$1 version=$2 scratch=$3 wine=${4:-}
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }

name=serbolt2-$version-win64
zip=$dist/$name.zip
[ -f "$zip" ] || { echo "FAIL: no $zip; $dist holds: $(ls "$dist")" >&2; exit 1; }
echo "zip: $zip"

entries=$(cmake -E tar tf "$zip" | sort)
expected="$name/
$name/LICENSE.txt
$name/README.txt
$name/serbolt2.exe
$name/serbolt2.txt"
[ "$entries" = "$expected" ] || bad "entries:
$entries
expected:
$expected"

dir=$scratch/unzipped
rm -rf "$dir"
mkdir -p "$dir"
(cd "$dir" && cmake -E tar xf "$zip")

# The texts: plain ASCII, every line ending in CR LF, the version named.
for text in README.txt serbolt2.txt LICENSE.txt; do
    f=$dir/$name/$text
    [ -s "$f" ] || { bad "$text is missing or empty"; continue; }
    if LC_ALL=C grep -q '[^[:print:][:space:]]' "$f"; then
        bad "$text holds characters that are not plain ASCII text (escapes, overstrikes)"
    fi
    lines=$(wc -l <"$f")
    crlf=$(grep -c $'\r$' "$f" || true)
    [ "$lines" = "$crlf" ] || bad "$text: $crlf of $lines lines end in CR LF"
done
grep -q "serbolt2 $version" "$dir/$name/README.txt" || bad "README.txt does not name version $version"
grep -q '^NAME' "$dir/$name/serbolt2.txt" || bad "serbolt2.txt is not the formatted manual page"
[ "$(tr -d '\r' <"$dir/$name/LICENSE.txt")" = "$(cat "$(dirname "$0")/../../LICENSE")" ] ||
    bad "LICENSE.txt is not the project's LICENSE"
grep -q 'LICENSE.txt' "$dir/$name/README.txt" || bad "README.txt does not name LICENSE.txt"

# The program: a 64-bit Windows console program whose imports are system DLLs only
# (no libstdc++, libgcc or winpthread DLL to carry along).
exe=$dir/$name/serbolt2.exe
x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-x86-64' || bad "serbolt2.exe is not a 64-bit PE"
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
echo "serbolt2.exe imports:"
printf '  %s\n' $imports
[ -n "$imports" ] || bad "no imports found"
for dll in $imports; do
    case ${dll,,} in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ucrtbase.dll|api-ms-win-*.dll) ;;
    winmm.dll) ;;   # timeBeginPeriod: the 1 ms timer of the paced writes
    *) bad "serbolt2.exe needs $dll, which Windows does not have" ;;
    esac
done

if [ -n "$wine" ]; then
    # A fixed address layout, as the Wine tests start Wine (see tests/windows/wine-prefix.sh).
    fixed=()
    if setarch "$(uname -m)" -R true 2>/dev/null; then fixed=(setarch "$(uname -m)" -R); fi
    # Into files, not pipes: Wine's helper processes would hold the test's pipes open long after
    # the program has ended.
    status=0
    timeout 120 "${fixed[@]}" "$wine" "$exe" --version </dev/null >"$scratch/version.out" 2>"$scratch/version.err" || status=$?
    out=$(cat "$scratch/version.out")
    [ "$status" = 0 ] || bad "the zipped serbolt2.exe --version: status $status: $(cat "$scratch/version.err")"
    # Standard output is binary: the line ends in a bare LF.
    [ "$out" = "serbolt2 $version" ] || bad "the zipped serbolt2.exe --version printed '$out'"
fi

[ "$fail" = 0 ] && echo "zip ok"
exit "$fail"
