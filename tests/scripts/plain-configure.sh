#!/usr/bin/env bash
# plain-configure.sh SOURCE SCRATCH
# The README's by-hand build, `cmake -B build && cmake --build build`: a release without
# sanitizers. Where GoogleTest is missing (hidden from CMake here) it still configures and builds
# the programs, and one status line says that the tests are left out; -DSERBOLT_TESTS=ON then
# refuses to configure. SERBOLT_MAINTAINER in the environment names the package's Maintainer.
set -euo pipefail
source=$1 scratch=$2
fail=0
bad() { echo "FAIL: $*" >&2; fail=1; }
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }

rm -rf "$scratch"
mkdir -p "$scratch"

build=$scratch/with-gtest
someone="Someone Else <someone@example.org>"
SERBOLT_MAINTAINER=$someone cmake -S "$source" -B "$build" >"$scratch/with-gtest.log" 2>&1 ||
    { cat "$scratch/with-gtest.log" >&2; exit 1; }
grep -qxF "set(CPACK_DEBIAN_PACKAGE_MAINTAINER \"$someone\")" "$build/CPackConfig.cmake" ||
    bad "SERBOLT_MAINTAINER did not name the Maintainer: $(grep MAINTAINER "$build/CPackConfig.cmake")"
[ "$(cached CMAKE_BUILD_TYPE)" = Release ] || bad "build type $(cached CMAKE_BUILD_TYPE), not Release"
[ "$(cached SERBOLT_SANITIZE)" = OFF ] || bad "SERBOLT_SANITIZE=$(cached SERBOLT_SANITIZE)"
grep -q 'GoogleTest not found' "$scratch/with-gtest.log" && bad "GoogleTest reported missing where it is installed"

build=$scratch/without-gtest
status=0
cmake -S "$source" -B "$build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$scratch/without-gtest.log" 2>&1 || status=$?
[ "$status" = 0 ] || { cat "$scratch/without-gtest.log" >&2; bad "configure without GoogleTest: status $status"; }
lines=$(grep -c 'GoogleTest not found: building the programs without the tests' "$scratch/without-gtest.log" || true)
[ "$lines" = 1 ] || bad "configure without GoogleTest printed the status line $lines times:
$(cat "$scratch/without-gtest.log")"
if [ "$status" = 0 ]; then
    cmake --build "$build" --target serbolt korvan-sim >"$scratch/build.log" 2>&1 ||
        { cat "$scratch/build.log" >&2; bad "building the programs without GoogleTest failed"; }
    [ -x "$build/serbolt" ] && [ -x "$build/korvan-sim" ] || bad "no serbolt or korvan-sim in $build"
    [ ! -e "$build/CTestTestfile.cmake" ] || bad "tests were configured without GoogleTest"
fi

status=0
cmake -S "$source" -B "$scratch/required" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DSERBOLT_TESTS=ON \
    >"$scratch/required.log" 2>&1 || status=$?
[ "$status" != 0 ] || bad "-DSERBOLT_TESTS=ON configured without GoogleTest"
grep -q GTest "$scratch/required.log" || bad "-DSERBOLT_TESTS=ON without GoogleTest does not name it:
$(cat "$scratch/required.log")"

rm -rf "$scratch"
[ "$fail" = 0 ] && echo "plain configure ok"
exit "$fail"
