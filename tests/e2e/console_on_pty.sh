#!/usr/bin/env bash
# End to end on Linux: the console program on the real POSIX serial backend
# against the plug emulator on a pseudo-terminal, named with --port.
#   console_on_pty.sh <plugupdate-console> <plugemu> <hex file> <work dir> <case>
# Cases: verified, slow-restart, keeps-banner, no-final-prompt, no-plug, too-old,
# interrupt. interrupt: on a terminal (script), SIGINT twice during the upload:
# the first only warns, the second stops the update at a line end (status 5,
# JSON interrupted-in-monitor, within 3 s, no 'x'); a second run finishes it.
# no-plug also runs, beside its own run, two runs stopped by SIGTERM during
# the search (one that then finds no plug, one that finds it on the port after
# two silent ones), each ending interrupted (status 8) within 2 s, and one run whose only
# named port does not exist (status 7, port error).
# stop-at-question: SIGTERM while the tool waits for the typed answer to its
# update question (input open, nothing typed): status 8 within 2 s; the same
# at the box of a search that found nothing; a last run then updates the plug
# as found.
set -u
console=$1 emu=$2 hex=$3 work=$4 case=$5
mkdir -p "$work"
rm -rf "$work"/*.log "$work"/*.json "$work/state"
# The port of an unfinished update is kept here, never in the user's home.
export XDG_STATE_HOME=$work/state
remembered=$XDG_STATE_HOME/plugupdate/unfinished-port

emu_args=(--hex "$hex")
want_rc=0 want_result=verified want_exits=1 want_flash=1
case $case in
  verified) ;;
  # The new firmware answers only 9 s after the monitor exit: within the 15 s
  # the second search waits for it.
  slow-restart) emu_args+=(--restart-ms 9000) ;;
  keeps-banner) emu_args+=(--keep-banner); want_rc=6 want_result=other-banner ;;
  no-final-prompt) emu_args+=(--no-final-prompt); want_rc=5 want_result=update-failed want_exits=0 want_flash=0 ;;
  no-plug) emu_args+=(--silent); want_rc=1 want_result=no-plug want_exits=0 want_flash=0 ;;
  too-old) emu_args+=(--product 1010); want_rc=3 want_result=too-old want_exits=0 want_flash=0 ;;
  interrupt) emu_args+=(--pause-ms 20) ;;  # the second run's outcome
  stop-at-question) ;;
  *) echo "FAIL: unknown case $case"; exit 2 ;;
esac

# Starts a plug emulator: its process id in $emu_pid, its port in $emu_pts.
start_emu() {
  local log=$1
  shift
  "$emu" "$@" >"$log" 2>&1 &
  emu_pid=$!
  emu_pts=""
  for _ in $(seq 50); do
    emu_pts=$(head -n1 "$log" 2>/dev/null)
    [ -n "$emu_pts" ] && break
    sleep 0.1
  done
}
start_emu "$work/plugemu.log" "${emu_args[@]}"
pid=$emu_pid pts=$emu_pts
# The proven update also goes through a port list: a port that does not
# exist comes first.
ports=(--port "$pts")
[ "$case" = verified ] && ports=(--port "$work/no-such-port" --port "$pts")
ok=1
check() { if eval "$2"; then echo "PASS: $1"; else echo "FAIL: $1"; ok=0; fi; }
if [ "$case" = interrupt ]; then
  # Standard input a terminal, as a person's; the process id for the signals.
  script -qec "echo \$\$ >'$work/pid'; exec '$console' --port '$pts' --update --yes --json \
    >'$work/out.json' 2>'$work/console.log'" /dev/null </dev/null >/dev/null 2>&1 &
  runner=$!
  for _ in $(seq 600); do grep -q '^\[progress\]  10%' "$work/console.log" 2>/dev/null && break; sleep 0.1; done
  tool=$(cat "$work/pid")
  kill -INT "$tool"
  sleep 1
  check "the first SIGINT only warns" 'kill -0 "$tool" 2>/dev/null && grep -q "^\[stop\] the update is running" "$work/console.log"'
  kill -INT "$tool"
  stopped=$SECONDS
  wait "$runner"
  rc=$?
  check "ended within 3 s of the second SIGINT (took $((SECONDS - stopped)) s)" '[ $((SECONDS - stopped)) -le 3 ]'
  check "interrupted during the upload" '! grep -q "^\[progress\] 100%" "$work/console.log"'
  check "interrupted: exit status 5 (got $rc)" '[ "$rc" -eq 5 ]'
  check "JSON result interrupted-in-monitor, status 5" 'grep -q "\"result\":\"interrupted-in-monitor\",\"exit_status\":5," "$work/out.json"'
  mv "$work/out.json" "$work/interrupted.json"
  mv "$work/console.log" "$work/interrupted.log"
  # The next run finds the plug in its monitor and finishes the update.
fi
if [ "$case" = no-plug ]; then
  # Beside this case's own run: runs stopped by SIGTERM during the search,
  # which the silent first port would make last about 3 s.
  start_emu "$work/silent-a.log" --silent; emus=($emu_pid); silent_a=$emu_pts
  start_emu "$work/silent-b.log" --silent; emus+=($emu_pid); silent_b=$emu_pts
  start_emu "$work/silent-c.log" --silent; emus+=($emu_pid); silent_c=$emu_pts
  start_emu "$work/plug-b.log" --hex "$hex"; emus+=($emu_pid); plug_b=$emu_pts
  stopped_run() {  # name, ports...
    local name=$1
    shift
    "$console" "$@" --update --yes --json </dev/null >"$work/$name.json" 2>"$work/$name.log" &
    local run=$!
    for _ in $(seq 100); do grep -q '^\[status\] Suche nach Plug' "$work/$name.log" 2>/dev/null && break; sleep 0.02; done
    kill -TERM "$run"
    local stopped
    stopped=$(date +%s%N)
    wait "$run"
    echo $? >"$work/$name.rc"
    echo $((($(date +%s%N) - stopped) / 1000000)) >"$work/$name.took"
  }
  stopped_run stopped-no-plug --port "$silent_a" &
  stop_a=$!
  # Its three probes (0.8 s of line sequence each, at least) would end after 2 s.
  stopped_run stopped-found --port "$silent_b" --port "$silent_c" --port "$plug_b" &
  stop_b=$!
  "$console" --port "$work/no-such-port" --json </dev/null >"$work/absent.json" 2>"$work/absent.log"
  absent_rc=$?
fi
if [ "$case" = stop-at-question ]; then
  rm -f "$work/in" && mkfifo "$work/in"
  exec 3<>"$work/in"  # held open: the tool waits for an answer that never comes
  "$console" --port "$pts" --json <"$work/in" >"$work/out.json" 2>"$work/console.log" &
  tool=$!
  for _ in $(seq 100); do grep -q 'Buttons: \[U\]pdate' "$work/console.log" 2>/dev/null && break; sleep 0.1; done
  check "the tool asks whether to update" 'grep -q "Buttons: \[U\]pdate" "$work/console.log"'
  kill -TERM "$tool"
  stopped=$(date +%s%N)
  for _ in $(seq 100); do kill -0 "$tool" 2>/dev/null || break; sleep 0.05; done
  took=$((($(date +%s%N) - stopped) / 1000000))
  kill -KILL "$tool" 2>/dev/null
  wait "$tool"
  rc=$?
  check "ended within 2 s of SIGTERM at the question (took $took ms)" '[ "$took" -le 2000 ]'
  check "stopped at the question: exit status 8 (got $rc)" '[ "$rc" -eq 8 ]'
  check "JSON result interrupted, status 8" 'grep -q "\"result\":\"interrupted\",\"exit_status\":8," "$work/out.json"'
  # The box of a search that found nothing waits for its typed answer too:
  # stopped there, the run is interrupted, not "no plug" or a port error.
  "$console" --port "$work/no-such-port" --json <"$work/in" >"$work/box.json" 2>"$work/box.log" &
  tool=$!
  for _ in $(seq 100); do grep -q '\[R\]etry \[C\]ancel >' "$work/box.log" 2>/dev/null && break; sleep 0.1; done
  kill -TERM "$tool"
  for _ in $(seq 40); do kill -0 "$tool" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$tool" 2>/dev/null
  wait "$tool"
  box_rc=$?
  exec 3>&-
  cat "$work/box.log"
  check "stopped at the no-plug box: exit status 8, JSON interrupted (got $box_rc)" \
    '[ "$box_rc" -eq 8 ] && grep -q "\"result\":\"interrupted\",\"exit_status\":8," "$work/box.json"'
  mv "$work/out.json" "$work/interrupted.json"
  mv "$work/console.log" "$work/interrupted.log"
fi
"$console" "${ports[@]}" --update --yes --json </dev/null >"$work/out.json" 2>"$work/console.log"
rc=$?
if [ "$case" = no-plug ]; then
  wait "$stop_a" "$stop_b"
  kill -TERM "${emus[@]}" 2>/dev/null
  wait "${emus[@]}" 2>/dev/null
  for name in stopped-no-plug stopped-found; do
    echo "JSON ($name): $(cat "$work/$name.json")"
    check "stopped in the search: $name ends interrupted, status 8 (got $(cat "$work/$name.rc"))" \
      '[ "$(cat "$work/$name.rc")" -eq 8 ] && grep -q "\"result\":\"interrupted\",\"exit_status\":8," "$work/$name.json"'
    check "stopped in the search: $name ends within 2 s of SIGTERM (took $(cat "$work/$name.took") ms)" \
      '[ "$(cat "$work/$name.took")" -le 2000 ]'
  done
  check "stopped in the search: the plug found after it saw no monitor request" \
    'grep -qx "exits ('"'"'x'"'"'): 0" "$work/plug-b.log" && grep -qx "violations: 0" "$work/plug-b.log"'
  echo "JSON (absent port): $(cat "$work/absent.json")"
  check "the only port named does not exist: status 7 (got $absent_rc)" '[ "$absent_rc" -eq 7 ]'
  check "JSON: port error, the port absent" \
    'grep -q "\"result\":\"port-error\",\"exit_status\":7,.*\"ports\":\[{\"port\":\"$work/no-such-port\",\"reason\":\"absent\",\"code\":2}\]" "$work/absent.json"'
fi
kill -TERM "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
[ -f "$work/interrupted.log" ] && cat "$work/interrupted.log" && echo "JSON: $(cat "$work/interrupted.json")"
cat "$work/console.log"
echo "JSON: $(cat "$work/out.json")"
sed 's/^/plugemu: /' "$work/plugemu.log"

check "exit status $want_rc (got $rc)" '[ "$rc" -eq "$want_rc" ]'
check "JSON is one object with result $want_result" \
  'grep -q "^{.*\"result\":\"$want_result\",\"exit_status\":$want_rc,.*}$" "$work/out.json" && [ "$(wc -l <"$work/out.json")" -eq 1 ]'
[ "$case" = no-plug ] || check "JSON names the port $pts" 'grep -q "\"port\":\"$pts\"" "$work/out.json"'
check "exactly $want_exits monitor exits ('x')" 'grep -qx "exits ('"'"'x'"'"'): $want_exits" "$work/plugemu.log"'
if [ "$want_flash" -eq 1 ]; then
  check "flash equals the image" 'grep -q "^flash: equals" "$work/plugemu.log"'
fi
check "the plug saw no violations" 'grep -qx "violations: 0" "$work/plugemu.log"'
case $case in
  verified)
    check "JSON carries the new banner after the update" \
      'grep -q "\"banner_after\":\"Orvane QUOR PLUG Firmware Revision 1.63.2 Build Dec 10 2002 16:08:26\"" "$work/out.json"'
    check "the absent first port was named" 'grep -q "^\[port\] $work/no-such-port: no such port" "$work/console.log"'
    check "JSON gives the absent port its reason" \
      'grep -q "\"ports\":\[{\"port\":\"$work/no-such-port\",\"reason\":\"absent\",\"code\":2}\]" "$work/out.json"'
    check "JSON names the product" 'grep -q "\"product\":\"QZM1011\"," "$work/out.json"'
    check "JSON counts every HEX line" "grep -q '\"lines_sent\":$(grep -c '' "$hex"),' \"$work/out.json\""
    size=$(wc -c <"$hex")
    check "JSON counts every byte of the image" 'grep -q "\"bytes_sent\":$size," "$work/out.json"'
    check "the last progress line shows the whole image" \
      'grep "^\[progress\]" "$work/console.log" | tail -n1 | grep -q "^\[progress\] 100%  $size/$size bytes"'
    check "no unfinished update remembered" '[ ! -e "$remembered" ]' ;;
  no-final-prompt)
    check "the port of the unfinished update is remembered" '[ "$(cat "$remembered" 2>/dev/null)" = "$pts" ]' ;;
  slow-restart)
    # The second search looks for the plug and nothing more: a plug starting
    # its new firmware gets no wake-up and no end of a load.
    check "no monitor probe reached the restarting plug" \
      'grep -qx "monitor probes ignored by running firmware: 0" "$work/plugemu.log"' ;;
  keeps-banner)
    check "JSON carries the old banner after the update" 'grep -q "\"banner_after\":\"Orvane QUOR PLUG Firmware Revision 1.60.4" "$work/out.json"' ;;
  no-plug)
    check "no port in the JSON" 'grep -q "\"port\":null" "$work/out.json"' ;;
esac
[ "$ok" -eq 1 ] && echo "PASS"
[ "$ok" -eq 1 ]
