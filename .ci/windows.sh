#!/bin/bash
# The Windows program: cross build with mingw-w64 (i686), the Windows test
# suite under Wine, and the real program under Wine + Xvfb against the plug
# emulator on a pseudo-terminal, driven by its keyboard accelerators.
# Run from .ci/run after the Linux builds (the native host tools and plugemu
# come from build/default; they are built here when missing).
# Ends with a line "N passed, N failed"; exits non-zero on any failure.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build/mingw
passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
finish() {
  echo "windows: $passed passed, $failed failed"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

# --- packages (Debian's archive only) ------------------------------------------
missing=""
command -v i686-w64-mingw32-g++-posix >/dev/null || missing="$missing g++-mingw-w64-i686-posix"
command -v i686-w64-mingw32-windres >/dev/null || missing="$missing binutils-mingw-w64-i686"
dpkg -s wine32:i386 >/dev/null 2>&1 || missing="$missing wine wine32:i386"
command -v Xvfb >/dev/null || missing="$missing xvfb"
command -v xvfb-run >/dev/null || missing="$missing xvfb xauth"
command -v xdotool >/dev/null || missing="$missing xdotool"
command -v xwd >/dev/null || missing="$missing x11-apps"
command -v socat >/dev/null || missing="$missing socat"
[ -x /usr/bin/convert ] || missing="$missing imagemagick"
if [ -n "$missing" ]; then
  echo "windows: installing$missing"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq >/dev/null
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
    fail "package install:$missing"
    finish
  fi
fi

# --- native host tools (firmware converter, plug emulator) ------------------------
if [ ! -f build/default/CMakeCache.txt ]; then
  cmake --preset default >/dev/null || { fail "native configure"; finish; }
fi
targets=$(cmake --build build/default --target help 2>/dev/null)
for t in hexgen hex2image plugemu; do
  if echo "$targets" | grep -q "\b$t\b"; then
    cmake --build build/default -j2 --target "$t" >/dev/null || fail "native host tool $t"
  fi
done
hosttools=$(find "$root/build/default" -name hex2image -type f -perm -u+x 2>/dev/null | head -n1)
hosttools=${hosttools:+$(dirname "$hosttools")}
plugemu=$(find "$root/build/default" -name plugemu -type f -perm -u+x 2>/dev/null | head -n1)

# --- Wine prefix: fresh, in the build folder --------------------------------------
export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
mkdir -p "$build"
wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
"$root/cmake/wine-run.sh" --init || { fail "wine prefix"; finish; }

# --- cross build --------------------------------------------------------------
config=(--preset mingw)
[ -n "$hosttools" ] && config+=("-DPLUG_HOST_TOOLS=$hosttools")
if ! cmake "${config[@]}" >"$build/configure.log" 2>&1; then
  tail -n 30 "$build/configure.log"
  fail "mingw configure"
  finish
fi
if ! cmake --build "$build" -j2 >"$build/build.log" 2>&1; then
  grep -E "error|Error" "$build/build.log" | head -n 40
  fail "mingw build"
  finish
fi
pass "mingw build"
exe=$build/QuorPlugUpdate.exe
if [ -f "$exe" ]; then
  pass "program built: $(basename "$exe")"
  # A 32-bit GUI program that needs no DLL beyond those of a bare Windows.
  headers=$(i686-w64-mingw32-objdump -p "$exe" 2>/dev/null)
  if echo "$headers" | grep -q "file format pei-i386" &&
     echo "$headers" | grep -Eq "^Subsystem[[:space:]]+00000002" &&
     ! echo "$headers" | grep -E "DLL Name:" | grep -viqE "(kernel32|user32|gdi32|msvcrt|advapi32|comctl32|shell32|version|ntdll)\.dll"; then
    pass "program is a PE32 GUI executable for i386 without extra DLLs"
  else
    fail "program is not a static PE32 GUI executable for i386"
    echo "$headers" | grep -E "file format|^Subsystem|DLL Name"
  fi
else
  fail "program not built (system code or firmware image missing from the tree)"
fi

# --- the Windows test suite under Wine ------------------------------------------------
# One Wine server for the whole suite: one that quits when its last program
# ends can meet the next program starting ("wine client error ... recvmsg").
# Its output is discarded as in wine-run.sh. Wine's own background programs
# start with the first program and keep its output open: that program's
# output goes nowhere, and the display's desktop starts here too.
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  wineserver -p >/dev/null 2>&1
  "$1/cmake/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1
  ctest --test-dir "$2" --output-on-failure -j2 --timeout 240
  rc=$?
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  exit $rc' sh "$root" "$build" >"$build/ctest.log" 2>&1
summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$build/ctest.log")
if [ -n "$summary" ]; then
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -ne 0 ] && grep -E "^\s+[0-9]+ - |Failed|\*\*\*" "$build/ctest.log" | head -n 40
  echo "windows tests: $summary"
else
  tail -n 30 "$build/ctest.log"
  fail "ctest under Wine ran no test"
fi

# --- the program against the plug emulator ---------------------------------------------
hex=$(ls "$root"/firmware/quorplug-*.hex 2>/dev/null | head -n1)
if [ ! -f "$exe" ] || [ -z "$plugemu" ] || [ -z "$hex" ]; then
  fail "end-to-end run skipped: needs program ($exe), plugemu (${plugemu:-none}) and firmware hex (${hex:-none})"
  finish
fi
e2e=$build/e2e
rm -rf "$e2e"
mkdir -p "$e2e" "$build/ports"
rm -f "$build/ports/COM1" "$build/ports/COM2"
"$plugemu" --hex "$hex" --link "$build/ports/COM1" >"$e2e/plugemu.log" 2>&1 &
emu=$!
for _ in $(seq 50); do [ -e "$build/ports/COM1" ] && break; sleep 0.1; done

Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$e2e/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$e2e/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$e2e/display")

shot() { xwd -root -silent | convert xwd:- "$e2e/$1.png" 2>/dev/null; }
# Visible top-level windows, one per line.
windows() { xdotool search --onlyvisible --name '.' 2>/dev/null | sort; }
# Waits up to $1 seconds for a visible window other than those listed in $2.
new_window() {
  local until=$((SECONDS + $1)) w
  while [ $SECONDS -lt $until ]; do
    for w in $(windows); do
      echo "$2" | grep -qx "$w" || { echo "$w"; return 0; }
    done
    sleep 0.5
  done
  return 1
}
key() { xdotool windowfocus --sync "$1" 2>/dev/null; xdotool key --clearmodifiers "$2"; }

(cd "$e2e" && exec "$root/cmake/wine-run.sh" "$exe") >"$e2e/program.log" 2>&1 &
program=$!
main=$(new_window 60 "")
if [ -z "$main" ]; then
  fail "end-to-end: program window did not appear"
else
  pass "end-to-end: window '$(xdotool getwindowname "$main")' shown"
  key "$main" alt+s
  # The search tries COM1 first: identification, handshake, report. A box
  # during the search means it failed (no plug, port errors).
  box=$(new_window 8 "$main")
  if [ -n "$box" ]; then
    sleep 2  # let the box paint
    shot search-box
    fail "end-to-end: the search showed the box '$(xdotool getwindowname "$box")'"
    key "$box" Return
    sleep 1
  fi
  shot report
  key "$main" alt+u
  box=$(new_window 240 "$main")
  if [ -n "$box" ]; then
    sleep 2  # let the box paint
    shot update-done
    caption=$(xdotool getwindowname "$box")
    # Wine makes the box's caption the X window's name: find the success box
    # by its caption and check it is the box that came.
    if xdotool search --onlyvisible --name '^Plug geflasht$' 2>/dev/null | grep -qx "$box"; then
      pass "end-to-end: message box after the update: '$caption'"
    else
      fail "end-to-end: message box after the update is '$caption', not 'Plug geflasht'"
    fi
    key "$box" Return
    gone=""
    for _ in $(seq 20); do
      windows | grep -qx "$box" || { gone=1; break; }
      sleep 0.5
    done
    [ -n "$gone" ] || fail "end-to-end: the box stayed after Return"
  else
    shot update-timeout
    fail "end-to-end: no message box after the update"
  fi
  key "$main" alt+b
fi
for _ in $(seq 40); do kill -0 "$program" 2>/dev/null || break; sleep 0.5; done
if kill -0 "$program" 2>/dev/null; then
  fail "end-to-end: program did not exit after Alt+B"
  kill "$program" 2>/dev/null
  wineserver -k >/dev/null 2>&1
fi
wait "$program" 2>/dev/null
kill -TERM "$emu" 2>/dev/null
wait "$emu" 2>/dev/null
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
wineserver -k >/dev/null 2>&1
sed 's/^/  plugemu: /' "$e2e/plugemu.log"
grep -q "^flash: equals" "$e2e/plugemu.log" && pass "end-to-end: flash equals the image" \
  || fail "end-to-end: flash does not equal the image"
grep -qx "exits ('x'): 1" "$e2e/plugemu.log" && pass "end-to-end: one 'x'" \
  || fail "end-to-end: not exactly one 'x'"
grep -qx "violations: 0" "$e2e/plugemu.log" && pass "end-to-end: no violations" \
  || fail "end-to-end: the plug saw violations"
echo "windows: screenshots in $e2e"
finish
