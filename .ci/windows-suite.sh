#!/usr/bin/env bash
# windows-suite.sh PRESET|BUILD-DIR [CTEST-ARGS...]: the Windows test suite of a
# built cross build (.ci/windows-build.sh) under Wine and Xvfb, with the Wine
# loader of the build's word size (mingw: 32-bit, mingw64: 64-bit), in a
# prefix in the build folder. Each GoogleTest program starts once (or once per
# part, cmake/gtest-programs.cmake) and is counted case by case from its XML
# file, everything else from CTest's JUnit file; every test runs once, and the
# first failures are listed.
# Ends with "N passed, N failed, N skipped"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source .ci/lib.sh
[ $# -gt 0 ] || { echo "usage: windows-suite.sh PRESET|BUILD-DIR [CTEST-ARGS...]" >&2; exit 2; }
build=$1
shift
[ -d "$build" ] || build=build/$build
build=$(cd "$build" 2>/dev/null && pwd) || { fail "no build folder for $build"; tally_finish "windows suite"; exit; }
# The build's Wine runner and word size, as its toolchain file set them.
arch=$(sed -nE 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]+=.*;(win32|win64)$/\1/p' "$build/CMakeCache.txt" 2>/dev/null)
if [ -z "$arch" ]; then
  fail "$build is not a Windows cross build"
  tally_finish "windows suite"
  exit
fi

suite() {
  export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINESERVER=/usr/lib/wine/wineserver64
  [ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
  "$root/cmake/wine-run.sh" "$arch" --init || { fail "Wine prefix ($arch) in $WINEPREFIX"; return; }
  local junit=$build/junit.xml status
  # GoogleTest programs write their cases' results here (counted below).
  rm -f "$junit" "$build"/gtest/*.xml
  # One Wine server for the whole suite: one that quits when its last program
  # ends can meet the next program starting ("wine client error ... recvmsg").
  # Its output is discarded as in wine-run.sh. Wine's own background programs
  # start with the first program and keep its output open: that program's
  # output goes nowhere, and the display's desktop starts here too.
  xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    root=$1 build=$2 arch=$3 junit=$4; shift 4
    "$WINESERVER" -p >/dev/null 2>&1
    "$root/cmake/wine-run.sh" "$arch" cmd /c exit </dev/null >/dev/null 2>&1
    ctest --test-dir "$build" --output-on-failure -j4 --timeout 240 \
      --output-junit "$junit" "$@"
    rc=$?
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w >/dev/null 2>&1
    exit $rc' sh "$root" "$build" "$arch" "$junit" "$@" >"$build/ctest.log" 2>&1
  status=$?
  # Each failed test with the start of its output (CTest prints it below the
  # test's line), three tests at most.
  awk '
    /^[[:space:]]*[0-9]+\/[0-9]+ Test +#[0-9]+: / || /^[[:space:]]+Start +[0-9]+: / {
      shown = 0
      if ($0 ~ /\*\*\*(Failed|Timeout|Exception)|Not Run/ && ++failed <= 3) { print; shown = 1; n = 0 }
      next
    }
    shown && ++n <= 30 { print "    " $0 }' "$build/ctest.log"
  echo "(CTest's output: $build/ctest.log)"
  ctest_tally "$junit" "$status" "$build/gtest"
}
stage "windows suite $(basename "$build") ($arch)" suite "$@"
tally_finish "windows suite $(basename "$build")"
