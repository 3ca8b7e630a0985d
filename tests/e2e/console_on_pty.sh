#!/usr/bin/env bash
# End to end on Linux: the console program on the real POSIX serial backend
# updates the plug emulator on a pseudo-terminal.
#   console_on_pty.sh <plugupdate-console> <plugemu> <hex file> <work dir>
set -u
console=$1 emu=$2 hex=$3 work=$4
mkdir -p "$work"
link=$work/COM1
rm -f "$link"
"$emu" --hex "$hex" --link "$link" >"$work/plugemu.log" 2>&1 &
pid=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
PLUG_COM1=$link PLUG_COM2=/nonexistent "$console" --serial --update --yes >"$work/console.log" 2>&1
rc=$?
kill -TERM "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
cat "$work/console.log"
sed 's/^/plugemu: /' "$work/plugemu.log"
ok=1
[ "$rc" -eq 0 ] || { echo "FAIL: console program exit code $rc"; ok=0; }
grep -q '^\[Plug geflasht\]' "$work/console.log" || { echo "FAIL: no success box"; ok=0; }
grep -q '^flash: equals' "$work/plugemu.log" || { echo "FAIL: flash differs from the image"; ok=0; }
grep -qx "exits ('x'): 1" "$work/plugemu.log" || { echo "FAIL: not exactly one 'x'"; ok=0; }
grep -qx "violations: 0" "$work/plugemu.log" || { echo "FAIL: the plug saw violations"; ok=0; }
[ "$ok" -eq 1 ] && echo "PASS"
[ "$ok" -eq 1 ]
