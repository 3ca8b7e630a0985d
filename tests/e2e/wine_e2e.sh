#!/usr/bin/env bash
# End to end under Wine: real Windows programs against the plug emulator on a
# pseudo-terminal that Wine shows as a COM port, on a virtual display (Xvfb),
# driven with their keyboard accelerators.
#
#   wine_e2e.sh [--exe QuorPlugUpdate.exe] [--wine win32|win64|LOADER]
#               [--plugemu PATH] [--hex FILE] [--prefix WINEPREFIX]
#               [--work DIR] [SCENARIO...]
#
#   --exe      the window program (default build/mingw/QuorPlugUpdate.exe)
#   --wine     the Wine loader: win32 (/usr/lib/wine/wine), win64
#              (/usr/lib/wine/wine64) or a loader's path; default: the one
#              of the .exe's word size
#   --plugemu  the native plug emulator (default build/default/sim/plugemu,
#              built there when missing)
#   --hex      the firmware the emulated plug compares its flash with
#              (default firmware/quorplug-1.63.2.hex)
#   --prefix   the Wine prefix (default: wineprefix beside the .exe, as the
#              build's tests use it; made when missing)
#   --work     logs and screenshots (default: e2e beside the .exe)
#   SCENARIO   scenarios to run (default: all); --list names them
#
# A COM port n is the symbolic link ports/COMn beside the prefix
# (cmake/wine-run.sh maps COM1 and COM2 there; map_com adds others).
#
# Adding a scenario: write a function scenario_<name> below. It starts what it
# needs with the helpers (start_plugemu, start_program, run_program), drives
# windows with new_window/key/box_caption, and counts with pass/fail; the
# driver ends every process it started after each scenario and counts the
# emulator's verdicts with check_plugemu when asked.
# Ends with "N passed, N failed, N skipped"; exits non-zero on any failure.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/.ci/lib.sh"

exe=$root/build/mingw/QuorPlugUpdate.exe
wine=""
plugemu=""
hex=$root/firmware/quorplug-1.63.2.hex
prefix=""
work=""
scenarios=()
list=0
while [ $# -gt 0 ]; do
  case $1 in
    --exe) exe=$2; shift 2 ;;
    --wine) wine=$2; shift 2 ;;
    --plugemu) plugemu=$2; shift 2 ;;
    --hex) hex=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --list) list=1; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "wine_e2e.sh: unknown option $1" >&2; exit 2 ;;
    *) scenarios+=("$1"); shift ;;
  esac
done

# --- helpers for scenarios --------------------------------------------------------

# The word size of a Windows program from its PE header: win32 or win64.
pe_arch() {
  local at machine
  at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] || return 1
  machine=$(od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' ')
  case $machine in 014c) echo win32 ;; 8664) echo win64 ;; *) return 1 ;; esac
}

# Runs a Windows program (or a Wine tool such as reg.exe) in the foreground
# with the chosen loader and prefix.
wine_run() { "$root/cmake/wine-run.sh" "$wine" "$@"; }
wine_server() { "$WINESERVER" "$@"; }

# Another program of the same build: beside_exe plugupdate-console.exe.
beside_exe() { echo "$(dirname "$exe")/$1"; }

# The path Wine's COM port n reads and writes.
com_path() { echo "$ports/COM$1"; }

# map_com N: makes Wine show com_path N as COMn (the server restarts to read it).
map_com() {
  local path
  path=$(com_path "$1")
  if ! wine_run reg.exe query 'HKLM\Software\Wine\Ports' /v "COM$1" 2>/dev/null | grep -qF "$path"; then
    wine_run reg.exe add 'HKLM\Software\Wine\Ports' /v "COM$1" /d "$path" /f >/dev/null 2>&1
    wine_server -k >/dev/null 2>&1
    wine_server -w >/dev/null 2>&1
  fi
}

# Background processes of the current scenario, ended by end_scenario; the
# emulator on COMn is emu_pid[n].
started=()
declare -A emu_pid=()

# start_plugemu N [PLUGEMU-ARGS...]: the emulated plug on COMn; its log is
# $work/plugemu-COMn.log.
start_plugemu() {
  local n=$1 link
  shift
  link=$(com_path "$n")
  rm -f "$link"
  "$plugemu" --hex "$hex" --link "$link" "$@" >"$work/plugemu-COM$n.log" 2>&1 &
  started+=($!)
  emu_pid[$n]=$!
  for _ in $(seq 50); do [ -e "$link" ] && return 0; sleep 0.1; done
  fail "plug emulator on COM$n did not start"
  return 1
}

# check_plugemu N: stops the emulator on COMn and counts its verdicts: flash
# equal to the image, exactly one 'x' (monitor left), no protocol violations.
check_plugemu() {
  local log=$work/plugemu-COM$1.log verdict
  stop_plugemus
  sed 's/^/  plugemu: /' "$log"
  verdict=$(last_verdict "$log")
  grep -q "^flash: equals" <<<"$verdict" && pass "$scenario: flash equals the image" ||
    fail "$scenario: flash does not equal the image"
  grep -qx "exits ('x'): 1" <<<"$verdict" && pass "$scenario: one 'x'" || fail "$scenario: not exactly one 'x'"
  grep -qx "violations: 0" <<<"$verdict" && pass "$scenario: no violations" || fail "$scenario: the plug saw violations"
}

# last_verdict LOG: the last block of verdicts in an emulator's log.
last_verdict() { awk '/^enumerations:/ { block = "" } { block = block $0 "\n" } END { printf "%s", block }' "$1"; }

# plugemu_verdict N: the verdicts of the emulator on COMn so far, which goes on
# running (it prints them on SIGUSR1).
plugemu_verdict() {
  local log=$work/plugemu-COM$1.log before
  before=$(grep -c '^violations:' "$log")
  kill -USR1 "${emu_pid[$1]}"
  for _ in $(seq 50); do
    [ "$(grep -c '^violations:' "$log")" -gt "$before" ] && break
    sleep 0.1
  done
  last_verdict "$log"
}

# The emulators print their verdicts when they end.
stop_plugemus() {
  local pid
  for pid in "${started[@]}"; do
    if grep -q plugemu "/proc/$pid/cmdline" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    fi
  done
}

# start_program [EXE [ARGS...]]: the window program in the background, in
# $work; sets $program to its process id.
start_program() {
  local what=${1:-$exe}
  [ $# -gt 0 ] && shift
  (cd "$work" && exec "$root/cmake/wine-run.sh" "$wine" "$what" "$@") \
    >>"$work/program.log" 2>&1 &
  program=$!
  started+=("$program")
}

# run_program LOG EXE [ARGS...]: a console program in the foreground; its
# output goes to LOG; returns its exit status.
run_program() {
  local log=$1
  shift
  (cd "$work" && exec "$root/cmake/wine-run.sh" "$wine" "$@") >"$log" 2>&1 </dev/null
}

# wait_exit PID SECONDS: whether PID ended within SECONDS.
wait_exit() {
  local until=$((SECONDS + $2))
  while [ $SECONDS -lt $until ]; do
    kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null; return 0; }
    sleep 0.5
  done
  return 1
}

# A screenshot of the display: $work/NAME.png.
shot() { xwd -root -silent | convert xwd:- "$work/$1.png" 2>/dev/null; }
# Visible top-level windows, one per line.
windows() { xdotool search --onlyvisible --name '.' 2>/dev/null | sort; }
# new_window SECONDS [KNOWN]: waits for a visible window other than those
# listed in KNOWN and prints it.
new_window() {
  local until=$((SECONDS + $1)) w name=""
  # Wine may map a window it resizes anew, under a new X window with the same
  # caption: that is no new window.
  [ -n "${2:-}" ] && name=$(box_caption "$(head -n1 <<<"$2")")
  while [ $SECONDS -lt $until ]; do
    for w in $(windows); do
      grep -qx "$w" <<<"${2:-}" && continue
      [ -n "$name" ] && [ "$(box_caption "$w")" = "$name" ] && continue
      echo "$w"
      return 0
    done
    sleep 0.5
  done
  return 1
}
# window_gone WINDOW SECONDS: whether the window closed within SECONDS.
window_gone() {
  local until=$((SECONDS + $2))
  while [ $SECONDS -lt $until ]; do
    windows | grep -qx "$1" || return 0
    sleep 0.5
  done
  return 1
}
# key WINDOW KEYS: focuses the window and types KEYS (xdotool's names).
key() { xdotool windowfocus --sync "$1" 2>/dev/null; xdotool key --clearmodifiers "$2"; }
# The caption of a window (Wine makes a box's caption the X window's name).
box_caption() { xdotool getwindowname "$1" 2>/dev/null; }
# is_box WINDOW CAPTION: whether WINDOW is the visible window of that caption.
is_box() { xdotool search --onlyvisible --name "^$2\$" 2>/dev/null | grep -qx "$1"; }

# Ends every process the scenario started, and the Wine server with them.
end_scenario() {
  local pid
  stop_plugemus
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
  wine_server -k >/dev/null 2>&1
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null; done
  wine_server -w >/dev/null 2>&1
  started=()
  emu_pid=()
}

# --- scenarios --------------------------------------------------------------------

# The plug on COM1 answers the search (identification, handshake, report);
# Update flashes the carried image and ends in "Plug geflasht"; Alt+B ends the
# program.
scenario_update_on_com1() {
  start_plugemu 1 || return
  start_program
  local main box
  main=$(new_window 60) || { shot no-window; fail "$scenario: program window did not appear"; return; }
  pass "$scenario: window '$(box_caption "$main")' shown"
  key "$main" alt+s
  # A box during the search means it failed (no plug, port errors).
  if box=$(new_window 8 "$main"); then
    sleep 2  # let the box paint
    shot search-box
    fail "$scenario: the search showed the box '$(box_caption "$box")'"
    key "$box" Return
    sleep 1
  fi
  shot report
  key "$main" alt+u
  if box=$(new_window 240 "$main"); then
    sleep 2
    shot update-done
    if is_box "$box" "Plug geflasht"; then
      pass "$scenario: message box after the update: 'Plug geflasht'"
    else
      fail "$scenario: message box after the update is '$(box_caption "$box")', not 'Plug geflasht'"
    fi
    key "$box" Return
    window_gone "$box" 10 || fail "$scenario: the box stayed after Return"
  else
    shot update-timeout
    fail "$scenario: no message box after the update"
  fi
  key "$main" alt+b
  wait_exit "$program" 20 || fail "$scenario: program did not exit after Alt+B"
  check_plugemu 1
}

# The plug waits in its boot monitor on COM1, as an update that was broken off
# on another PC leaves it; COM2 has nothing. The person names COM1 on the
# command line. Alt+S finds no identification, then the monitor: the question
# "Quor Plug im Monitor Modus" must come, Return (Yes, the first button)
# finishes the update, "Plug geflasht" follows and the program ends by itself.
scenario_rescue_on_com1() { rescue_case --monitor; }

# The same with a monitor left in its load state, in the middle of a HEX line
# (the plug kept its power when the upload was cut off): it answers only once
# the search has ended that load.
scenario_rescue_cut_load() { rescue_case --cut-load; }

# rescue_case PLUGEMU-ARGS...: the rescue of a plug on COM1 that the emulator
# started with these arguments.
rescue_case() {
  rm -f "$(com_path 2)"
  start_plugemu 1 "$@" || return
  start_program "$exe" COM1
  rescue_from_search 1
}

# rescue_from_search N: in the started program, Alt+S must ask about the plug
# in its monitor on COMn; Yes finishes the update.
rescue_from_search() {
  local main box done_box
  main=$(new_window 60) || { shot rescue-no-window; fail "$scenario: program window did not appear"; return; }
  key "$main" alt+s
  if ! box=$(new_window 60 "$main"); then
    shot rescue-search-timeout
    fail "$scenario: no question after the search"
    return
  fi
  sleep 2  # let the box paint
  shot rescue-question
  if ! is_box "$box" "Quor Plug im Monitor Modus"; then
    fail "$scenario: the search showed '$(box_caption "$box")', not 'Quor Plug im Monitor Modus'"
    return
  fi
  pass "$scenario: the search asks 'Quor Plug im Monitor Modus'"
  key "$box" Return
  if ! done_box=$(new_window 240 "$main"$'\n'"$box"); then
    shot rescue-update-timeout
    fail "$scenario: no message box after the update"
    return
  fi
  sleep 2
  shot rescue-update-done
  if is_box "$done_box" "Plug geflasht"; then
    pass "$scenario: message box after the update: 'Plug geflasht'"
  else
    fail "$scenario: message box after the update is '$(box_caption "$done_box")', not 'Plug geflasht'"
  fi
  key "$done_box" Return
  wait_exit "$program" 20 && pass "$scenario: the program ended after the update" ||
    fail "$scenario: the program did not end after the update"
  check_plugemu "$1"
}

# remembered_port: the registry value of the unfinished update, or nothing.
remembered_port() {
  wine_run reg.exe query 'HKCU\Software\Quor\PlugUpdate' /v UnfinishedUpdatePort 2>/dev/null |
    tr -d '\r' | sed -n 's/.*REG_SZ *//p'
}

# A PC without COM1 and COM2: the plug on COM5 is found by the program started
# without a port name (the search goes on to the machine's other ports), and
# updated.
scenario_update_on_com5() {
  map_com 5
  rm -f "$(com_path 1)" "$(com_path 2)"
  start_plugemu 5 || return
  start_program
  local main box
  main=$(new_window 60) || { shot com5-no-window; fail "$scenario: program window did not appear"; return; }
  key "$main" alt+s
  if box=$(new_window 12 "$main"); then
    sleep 2
    shot com5-search-box
    fail "$scenario: the search showed the box '$(box_caption "$box")'"
    return
  fi
  key "$main" alt+u
  if box=$(new_window 240 "$main") && sleep 2 && is_box "$box" "Plug geflasht"; then
    pass "$scenario: the plug on COM5 found and updated: 'Plug geflasht'"
  else
    shot com5-update
    fail "$scenario: no 'Plug geflasht' after the update on COM5"
    return
  fi
  key "$box" Return
  window_gone "$box" 10 || fail "$scenario: the box stayed after Return"
  [ -z "$(remembered_port)" ] && pass "$scenario: no unfinished update remembered" ||
    fail "$scenario: the registry still holds '$(remembered_port)'"
  wait_exit "$program" 20 || fail "$scenario: program did not exit after the update"
  check_plugemu 5
}

# An update on COM5 (COM1 and COM2 missing) cut off by killing the program
# during the upload: the registry keeps the port, and the next start of the
# program, without a port name, finds the plug in its monitor there and
# finishes the update.
scenario_remembered_rescue_on_com5() {
  map_com 5
  rm -f "$(com_path 1)" "$(com_path 2)"
  wine_run reg.exe delete 'HKCU\Software\Quor\PlugUpdate' /f >/dev/null 2>&1
  start_plugemu 5 --pause-ms 20 || return
  start_program
  local main
  main=$(new_window 60) || { shot remembered-no-window; fail "$scenario: program window did not appear"; return; }
  key "$main" alt+s
  sleep 4
  key "$main" alt+u
  sleep 8  # well into the upload
  kill "$program" 2>/dev/null
  wine_server -k >/dev/null 2>&1
  wait "$program" 2>/dev/null
  wine_server -w >/dev/null 2>&1
  finish_remembered 5
}

# finish_remembered N: the registry keeps \\.\COMn as the port of the
# unfinished update; the program started without a port finishes it there,
# and the port is forgotten.
finish_remembered() {
  local port
  port=$(remembered_port)
  [ "$port" = "\\\\.\\COM$1" ] && pass "$scenario: the registry remembers $port" ||
    fail "$scenario: the registry remembers '$port', not \\\\.\\COM$1"
  start_program
  rescue_from_search "$1"
  [ -z "$(remembered_port)" ] && pass "$scenario: the remembered port is gone after the update" ||
    fail "$scenario: the registry still holds '$(remembered_port)'"
}

# console_case NAME STATUS RESULT PORT [PLUGEMU-ARGS...]: the console program
# with --update --yes --json on PORT (COM5, mapped to an emulator started with
# the arguments; any other port has none); checks its exit status and the
# result in its JSON. The JSON is left in $work/console-NAME.json. With
# typed=TEXT, the program asks its update question instead and TEXT comes
# through a pipe as its standard input.
console_case() {
  local name=$1 want=$2 result=$3 port=$4 console json rc how=(--update --yes)
  shift 4
  console=$(beside_exe plugupdate-console.exe)
  [ "$port" = COM5 ] && { start_plugemu 5 "$@" || return; }
  [ -n "${typed:-}" ] && how=()
  printf '%s' "${typed:-}" | (cd "$work" && exec timeout 300 "$root/cmake/wine-run.sh" "$wine" "$console" \
    --port "$port" "${how[@]}" --json) >"$work/console-$name.out" 2>"$work/console-$name.log"
  rc=$?
  stop_plugemus
  json=$(tr -d '\r' <"$work/console-$name.out")  # Wine may end lines with CR
  echo "$json" >"$work/console-$name.json"
  sed 's/^/  console: /' "$work/console-$name.log"
  echo "  JSON: $json"
  [ "$rc" -eq "$want" ] && pass "$scenario: $name: exit status $want" ||
    fail "$scenario: $name: exit status $rc, not $want"
  grep -q "^{.*\"result\":\"$result\",\"exit_status\":$want,.*}$" <<<"$json" &&
    pass "$scenario: $name: JSON result $result" || fail "$scenario: $name: JSON result is not $result"
}

# The console program on COM5: an update proven by the second search, a plug
# too old, a missing final prompt (no 'x' may follow; the update answered
# through a pipe), a port that does not exist.
scenario_console_on_com5() {
  local console log
  console=$(beside_exe plugupdate-console.exe)
  [ -f "$console" ] || { fail "$scenario: no $console"; return; }
  map_com 5
  log=$work/plugemu-COM5.log
  console_case verified 0 verified COM5 || return
  grep -q '"port":"COM5"' "$work/console-verified.json" && pass "$scenario: verified: JSON names COM5" ||
    fail "$scenario: verified: JSON does not name COM5"
  grep -q '"banner_after":"Orvane QUOR PLUG Firmware Revision 1.63.2 ' "$work/console-verified.json" &&
    pass "$scenario: verified: JSON carries the new banner" || fail "$scenario: verified: JSON lacks the new banner"
  check_plugemu 5
  console_case too-old 3 too-old COM5 --product 1010 || return
  grep -qx "violations: 0" "$log" && pass "$scenario: too-old: no violations" ||
    fail "$scenario: too-old: the plug saw violations"
  # The update asked for and answered through a pipe.
  typed=$'u\r\n' console_case no-final-prompt 5 update-failed COM5 --no-final-prompt || return
  grep -qF '[U]pdate  [B]eenden >' "$work/console-no-final-prompt.log" &&
    pass "$scenario: no-final-prompt: the update was asked" || fail "$scenario: no-final-prompt: no update question"
  grep -qx "exits ('x'): 0" "$log" && pass "$scenario: no-final-prompt: no 'x'" ||
    fail "$scenario: no-final-prompt: an 'x' was sent"
  console_case no-port 7 port-error COM9
}

# The console program's German text (the report's "drücken", from the
# simulated plug) read back intact from a console and from a file: on a
# pseudo-terminal (script) cmd.exe gives it a console, whose screen Wine draws
# on the terminal in UTF-8; to a file it writes UTF-8 bytes.
scenario_console_text() {
  local console word=$'dr\xC3\xBCcken' shown
  console=$(beside_exe plugupdate-console.exe)
  [ -f "$console" ] || { fail "$scenario: no $console"; return; }
  (cd "$(dirname "$console")" && LANG=C.UTF-8 timeout 120 script -qec \
    "'$root/cmake/wine-run.sh' '$wine' cmd.exe /c 'plugupdate-console.exe --sim --yes'" \
    "$work/console-text-tty.log") >/dev/null 2>&1 </dev/null
  # The terminal's control sequences between the characters dropped.
  shown=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/console-text-tty.log")
  grep -qF "dann $word Sie" <<<"$shown" && pass "$scenario: the console shows '$word'" ||
    fail "$scenario: the console does not show '$word': $(grep -a 'cken Sie' <<<"$shown" | cat -v)"
  run_program "$work/console-text.txt" "$console" --sim --yes
  grep -qF "dann $word Sie" "$work/console-text.txt" && pass "$scenario: a file gets '$word' in UTF-8" ||
    fail "$scenario: the file lacks '$word' in UTF-8"
}

# Ctrl+C during the upload (Wine turns SIGINT into the console's Ctrl+C
# event): without a terminal the first one stops the update at a line end:
# status 5, JSON interrupted-in-monitor, within 3 s, no 'x'. The next run
# finds the plug in its monitor and finishes the update.
scenario_console_interrupt() {
  local console tool rc stopped
  console=$(beside_exe plugupdate-console.exe)
  [ -f "$console" ] || { fail "$scenario: no $console"; return; }
  map_com 5
  start_plugemu 5 --pause-ms 20 || return
  (cd "$work" && exec "$root/cmake/wine-run.sh" "$wine" "$console" --port COM5 --update --yes --json) \
    >"$work/interrupt.json" 2>"$work/interrupt.log" </dev/null &
  tool=$!
  started+=("$tool")
  for _ in $(seq 1200); do grep -q '^\[progress\]  10%' "$work/interrupt.log" && break; sleep 0.1; done
  kill -INT "$tool"
  stopped=$SECONDS
  wait "$tool"
  rc=$?
  sed 's/^/  console: /' "$work/interrupt.log"
  [ $((SECONDS - stopped)) -le 3 ] && pass "$scenario: ended within 3 s of Ctrl+C" ||
    fail "$scenario: ended $((SECONDS - stopped)) s after Ctrl+C"
  [ "$rc" -eq 5 ] && pass "$scenario: exit status 5" || fail "$scenario: exit status $rc, not 5"
  grep -q '"result":"interrupted-in-monitor","exit_status":5,' "$work/interrupt.json" &&
    pass "$scenario: JSON result interrupted-in-monitor" || fail "$scenario: JSON: $(cat "$work/interrupt.json")"
  grep -q '^\[progress\] 100%' "$work/interrupt.log" && fail "$scenario: the upload was not interrupted"
  run_program "$work/interrupt-next.log" "$console" --port COM5 --update --yes
  rc=$?
  [ "$rc" -eq 0 ] && pass "$scenario: the next run finishes the update" ||
    fail "$scenario: the next run ended with $rc"
  check_plugemu 5
}

# Windows ends the session during the upload although the program refused
# (WM_QUERYENDSESSION), as "Shut down anyway" or a restart for updates does:
# end_session.exe sends WM_ENDSESSION to the program's windows and ends the
# program the moment they return. The plug must have got whole lines only,
# then the end-of-file record, and wait at its monitor prompt, without 'x';
# the registry keeps the port. The next start of the program, without a port
# name, finds the plug in its monitor there and finishes the update.
scenario_session_ends_in_upload() {
  local helper main verdict records port
  helper=$(beside_exe end_session.exe)
  [ -f "$helper" ] || { fail "$scenario: no $helper"; return; }
  rm -f "$(com_path 2)"
  wine_run reg.exe delete 'HKCU\Software\Quor\PlugUpdate' /f >/dev/null 2>&1
  start_plugemu 1 --pause-ms 20 || return
  start_program
  main=$(new_window 60) || { shot session-no-window; fail "$scenario: program window did not appear"; return; }
  key "$main" alt+s
  # Alt+U once a second: it starts the update as soon as the report is shown.
  (for _ in $(seq 60); do key "$main" alt+u; sleep 1; done) >/dev/null 2>&1 &
  local presser=$!
  # Two seconds into the upload, which lasts at least 13 s with the pauses.
  (cd "$work" && exec timeout 180 "$root/cmake/wine-run.sh" "$wine" "$helper" "Uploading Firmware ... " 2) \
    >"$work/end-session.log" 2>&1 </dev/null
  kill "$presser" 2>/dev/null
  wait "$presser" 2>/dev/null
  sed 's/^/  end_session: /' "$work/end-session.log"
  grep -q "^program ended" "$work/end-session.log" && pass "$scenario: the session ended during the upload" ||
    { shot session-not-ended; fail "$scenario: the session could not be ended"; return; }
  grep -q "^QuorPlugForm: query answered no" "$work/end-session.log" &&
    pass "$scenario: the busy window refused the end of the session" ||
    fail "$scenario: the busy window allowed the end of the session"
  wait_exit "$program" 20 || fail "$scenario: the program is still there"
  # What the program wrote before it ended may still lie in the
  # pseudo-terminal (up to about 4 KiB, 0.7 s at the emulated line's speed,
  # longer on a busy machine): the verdict once it no longer changes.
  local previous=""
  verdict=$(plugemu_verdict 1)
  for _ in $(seq 15); do
    [ "$verdict" = "$previous" ] && break
    previous=$verdict
    sleep 1
    verdict=$(plugemu_verdict 1)
  done
  sed 's/^/  plugemu: /' <<<"$verdict"
  records=$(sed -n 's/^erases: [0-9]*, records programmed: \([0-9]*\)$/\1/p' <<<"$verdict")
  [ "${records:-0}" -gt 0 ] && [ "${records:-0}" -lt 7674 ] &&
    pass "$scenario: the upload was cut after $records records" ||
    fail "$scenario: the upload was not cut in the middle (${records:-no} records)"
  grep -qx "last load: clean, ended by the end-of-file record" <<<"$verdict" &&
    pass "$scenario: whole lines, then the end-of-file record" || fail "$scenario: the load did not end clean"
  grep -qx "monitor prompt: waiting" <<<"$verdict" && pass "$scenario: the plug waits at its monitor prompt" ||
    fail "$scenario: the plug is not at its monitor prompt"
  grep -qx "exits ('x'): 0" <<<"$verdict" && pass "$scenario: no 'x'" || fail "$scenario: an 'x' was sent"
  grep -qx "violations: 0" <<<"$verdict" && pass "$scenario: no violations" || fail "$scenario: the plug saw violations"
  finish_remembered 1
}

# --- driver -----------------------------------------------------------------------

all=$(declare -F | sed -n 's/^declare -f scenario_//p')
if [ "$list" = 1 ]; then echo "$all"; exit 0; fi
[ ${#scenarios[@]} -gt 0 ] || mapfile -t scenarios <<<"$all"
for s in "${scenarios[@]}"; do
  grep -qx "$s" <<<"$all" || { echo "wine_e2e.sh: no scenario '$s' (have: $(echo $all))" >&2; exit 2; }
done

[ -f "$exe" ] || { fail "no program $exe"; tally_finish "wine end to end"; exit; }
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
[ -n "$wine" ] || wine=$(pe_arch "$exe") || { fail "$exe: not a Windows program"; tally_finish "wine end to end"; exit; }
[ -n "$prefix" ] || prefix=$(dirname "$exe")/wineprefix
[ -n "$work" ] || work=$(dirname "$exe")/e2e
prefix=$(mkdir -p "$prefix" && cd "$prefix" && pwd)
ports=$(dirname "$prefix")/ports
if [ -z "$plugemu" ]; then
  plugemu=$root/build/default/sim/plugemu
  if [ ! -x "$plugemu" ]; then
    { [ -f "$root/build/default/CMakeCache.txt" ] || cmake --preset default; } >/dev/null &&
      cmake --build "$root/build/default" -j2 --target plugemu >/dev/null ||
      { fail "plug emulator not built"; tally_finish "wine end to end"; exit; }
  fi
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver32
rm -rf "$work"
mkdir -p "$work" "$ports"
echo "wine end to end: $exe with $wine, prefix $prefix"
wine_run --init || { fail "Wine prefix $prefix"; tally_finish "wine end to end"; exit; }

Xvfb -displayfd 8 -screen 0 1024x768x24 -nolisten tcp 8>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
trap 'end_scenario; kill $xvfb 2>/dev/null; rm -f "$plug_tally_own"' EXIT

for scenario in "${scenarios[@]}"; do
  stage "end to end: $scenario" "scenario_$scenario"
  end_scenario
done
echo "wine end to end: logs and screenshots in $work"
tally_finish "wine end to end"
