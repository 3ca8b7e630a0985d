#!/usr/bin/env bash
# End to end on Linux: the console program on the real POSIX serial backend
# against the plug emulator on a pseudo-terminal, named with --port.
#   console_on_pty.sh <plugupdate-console> <plugemu> <hex file> <work dir> <case>
# Cases: verified, slow-restart, keeps-banner, no-final-prompt, no-plug, too-old,
# interrupt. interrupt: on a terminal (script), SIGINT twice during the upload:
# the first only warns, the second stops the update at a line end (status 5,
# JSON interrupted-in-monitor, within 3 s, no 'x'); a second run finishes it.
set -u
console=$1 emu=$2 hex=$3 work=$4 case=$5
mkdir -p "$work"
rm -rf "$work"/*.log "$work"/out.json "$work/state"
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
  *) echo "FAIL: unknown case $case"; exit 2 ;;
esac

"$emu" "${emu_args[@]}" >"$work/plugemu.log" 2>&1 &
pid=$!
pts=""
for _ in $(seq 50); do
  pts=$(head -n1 "$work/plugemu.log" 2>/dev/null)
  [ -n "$pts" ] && break
  sleep 0.1
done
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
"$console" "${ports[@]}" --update --yes --json </dev/null >"$work/out.json" 2>"$work/console.log"
rc=$?
kill -TERM "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
[ "$case" = interrupt ] && cat "$work/interrupted.log" && echo "JSON: $(cat "$work/interrupted.json")"
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
    check "no unfinished update remembered" '[ ! -e "$remembered" ]' ;;
  no-final-prompt)
    check "the port of the unfinished update is remembered" '[ "$(cat "$remembered" 2>/dev/null)" = "$pts" ]' ;;
  keeps-banner)
    check "JSON carries the old banner after the update" 'grep -q "\"banner_after\":\"Orvane QUOR PLUG Firmware Revision 1.60.4" "$work/out.json"' ;;
  no-plug)
    check "no port in the JSON" 'grep -q "\"port\":null" "$work/out.json"' ;;
esac
[ "$ok" -eq 1 ] && echo "PASS"
[ "$ok" -eq 1 ]
