#!/usr/bin/env bash
# With a real plug: runs only when PLUG_HW_COM names its serial device
# (e.g. /dev/ttyUSB0). Searches and shows the version; updates only when
# PLUG_HW_UPDATE=1 as well, and then expects the new firmware proven.
#   hardware.sh <plugupdate-console>
set -u
[ -n "${PLUG_HW_COM:-}" ] || { echo "PLUG_HW_COM not set: no plug attached, skipped"; exit 77; }
# The port of an unfinished update is kept in a folder of the test's own.
XDG_STATE_HOME=$(mktemp -d)
export XDG_STATE_HOME
trap 'rm -rf "$XDG_STATE_HOME"' EXIT
args=(--port "$PLUG_HW_COM" --yes)
[ "${PLUG_HW_UPDATE:-0}" = 1 ] && args+=(--update)
out=$("$1" "${args[@]}" </dev/null 2>&1)
rc=$?
echo "$out"
echo "$out" | grep -q 'Vorhandene Firmware-Version' || { echo "FAIL: no version shown"; exit 1; }
[ "$rc" -eq 0 ] || { echo "FAIL: exit status $rc"; exit 1; }
if [ "${PLUG_HW_UPDATE:-0}" = 1 ]; then
  echo "$out" | grep -q ': verified: ' || { echo "FAIL: the new firmware was not proven"; exit 1; }
fi
echo PASS
