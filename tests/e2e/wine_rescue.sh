#!/bin/bash
# End to end under Wine: a plug left in its boot monitor by an update that was
# broken off is found again by the Windows program and its update finished.
#
#   source tests/e2e/wine_rescue.sh
#   wine_rescue <QuorPlugUpdate.exe> <plugemu> <wine command> [hex file] [work dir]
#
# The emulated plug starts in its boot monitor on COM1 (plugemu --monitor);
# COM2 has nothing. The program is driven by its keyboard: Alt+S searches, the
# question "Quor Plug im Monitor Modus" must come, Return answers it with Yes
# (the box's first button), and the update must end in "Plug geflasht", after
# which the program ends by itself. The emulator then must report its flash
# equal to the HEX file, one 'x' and no violations.
#
# The wine command runs a Windows program (for example cmake/wine-run.sh);
# WINEPREFIX must name its prefix, whose COM1 and COM2 are mapped to
# ports/COM1 and ports/COM2 beside the prefix (as cmake/wine-run.sh maps them).
# Without DISPLAY the function starts an Xvfb of its own. The hex file
# defaults to the firmware in the tree, the work dir (logs, screenshots) to a
# new temporary folder. Prints one "PASS: ..." or "FAIL: ..." line per check;
# returns 0 when every check passed.
wine_rescue() {
  local exe=$1 plugemu=$2 wine=$3
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  local hex=${4:-$(ls "$here"/../../firmware/quorplug-*.hex 2>/dev/null | head -n1)}
  local work=${5:-$(mktemp -d)}
  local failures=0
  local ports emu xvfb="" program main box caption gone flashed=""

  _wr_pass() { echo "PASS: rescue: $*"; }
  _wr_fail() { echo "FAIL: rescue: $*"; failures=$((failures + 1)); }
  _wr_shot() { xwd -root -silent 2>/dev/null | convert xwd:- "$work/rescue-$1.png" 2>/dev/null; }
  _wr_windows() { xdotool search --onlyvisible --name '.' 2>/dev/null | sort; }
  # Waits up to $1 seconds for a visible window other than those listed in $2.
  _wr_new_window() {
    local until=$((SECONDS + $1)) w
    while [ $SECONDS -lt "$until" ]; do
      for w in $(_wr_windows); do
        echo "$2" | grep -qx "$w" || { echo "$w"; return 0; }
      done
      sleep 0.5
    done
    return 1
  }
  # True when the visible window $1 has exactly the name $2.
  _wr_named() { xdotool search --onlyvisible --name "^$2\$" 2>/dev/null | grep -qx "$1"; }
  _wr_key() { xdotool windowfocus --sync "$1" 2>/dev/null; xdotool key --clearmodifiers "$2"; }

  if [ ! -f "$exe" ] || [ ! -x "$plugemu" ] || [ -z "$wine" ] || [ ! -f "$hex" ] || [ -z "${WINEPREFIX:-}" ]; then
    _wr_fail "needs the program ($exe), plugemu ($plugemu), a wine command ($wine), the hex file (${hex:-none}) and WINEPREFIX"
    return 1
  fi
  exe=$(realpath "$exe")
  plugemu=$(realpath "$plugemu")
  hex=$(realpath "$hex")
  mkdir -p "$work"
  ports=$(dirname "$WINEPREFIX")/ports
  mkdir -p "$ports"
  rm -f "$ports/COM1" "$ports/COM2"

  "$plugemu" --monitor --hex "$hex" --link "$ports/COM1" >"$work/rescue-plugemu.log" 2>&1 &
  emu=$!
  for _ in $(seq 50); do [ -e "$ports/COM1" ] && break; sleep 0.1; done
  [ -e "$ports/COM1" ] || _wr_fail "plugemu made no COM1 link"

  if [ -z "${DISPLAY:-}" ]; then
    Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$work/rescue-display" 2>/dev/null &
    xvfb=$!
    for _ in $(seq 50); do [ -s "$work/rescue-display" ] && break; sleep 0.1; done
    export DISPLAY=:$(head -n1 "$work/rescue-display")
  fi

  (cd "$work" && exec $wine "$exe") >"$work/rescue-program.log" 2>&1 &
  program=$!
  main=$(_wr_new_window 60 "")
  if [ -z "$main" ]; then
    _wr_fail "program window did not appear"
  else
    _wr_key "$main" alt+s
    # Both identifications fail (the monitor does not answer them, COM2 has
    # nothing); then the monitor answers its wake-up.
    box=$(_wr_new_window 30 "$main")
    if [ -z "$box" ]; then
      _wr_shot search-timeout
      _wr_fail "no question after the search"
    else
      sleep 2  # let the box paint
      _wr_shot question
      caption=$(xdotool getwindowname "$box")
      if _wr_named "$box" "Quor Plug im Monitor Modus"; then
        _wr_pass "the search asks '$caption'"
        _wr_key "$box" Return  # Yes
        box=$(_wr_new_window 240 "$main"$'\n'"$box")
        if [ -z "$box" ]; then
          _wr_shot update-timeout
          _wr_fail "no message box after the update"
        else
          sleep 2
          _wr_shot update-done
          caption=$(xdotool getwindowname "$box")
          if _wr_named "$box" "Plug geflasht"; then
            flashed=1
            _wr_pass "message box after the update: '$caption'"
          else
            _wr_fail "message box after the update is '$caption', not 'Plug geflasht'"
          fi
          _wr_key "$box" Return
        fi
      else
        _wr_fail "the search showed '$caption', not 'Quor Plug im Monitor Modus'"
        _wr_key "$box" Return
      fi
    fi
  fi
  # After "Plug geflasht" the program ends by itself.
  gone=""
  for _ in $(seq 40); do kill -0 "$program" 2>/dev/null || { gone=1; break; }; sleep 0.5; done
  if [ -n "$gone" ]; then
    [ -n "$flashed" ] && _wr_pass "the program ended after the update"
  else
    [ -n "$flashed" ] && _wr_fail "the program did not end after the update"
    [ -n "${main:-}" ] && _wr_key "$main" alt+b
    sleep 2
    kill "$program" 2>/dev/null
    wineserver -k >/dev/null 2>&1
  fi
  wait "$program" 2>/dev/null
  kill -TERM "$emu" 2>/dev/null
  wait "$emu" 2>/dev/null
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    unset DISPLAY
  fi
  rm -f "$ports/COM1"
  sed 's/^/  plugemu: /' "$work/rescue-plugemu.log"
  if grep -q "^flash: equals" "$work/rescue-plugemu.log"; then
    _wr_pass "flash equals the image"
  else
    _wr_fail "flash does not equal the image"
  fi
  if grep -qx "exits ('x'): 1" "$work/rescue-plugemu.log"; then _wr_pass "one 'x'"; else _wr_fail "not exactly one 'x'"; fi
  if grep -qx "violations: 0" "$work/rescue-plugemu.log"; then
    _wr_pass "no violations"
  else
    _wr_fail "the plug saw violations"
  fi
  echo "rescue: logs and screenshots in $work"
  [ "$failures" -eq 0 ]
}

# Run directly: wine_rescue.sh <exe> <plugemu> <wine command> [hex file] [work dir]
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  wine_rescue "$@"
fi
