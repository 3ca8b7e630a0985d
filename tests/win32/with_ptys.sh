#!/bin/sh
# with_ptys.sh PORTS_DIR COMMAND...: runs COMMAND while PORTS_DIR/COM1 and
# PORTS_DIR/COM2 are the two ends of a linked pseudo-terminal pair (what is
# written to one is read from the other), then removes the pair.
ports=$1; shift
mkdir -p "$ports"
rm -f "$ports/COM1" "$ports/COM2"
socat pty,raw,echo=0,link="$ports/COM1" pty,raw,echo=0,link="$ports/COM2" &
relay=$!
i=0
while [ ! -e "$ports/COM1" ] || [ ! -e "$ports/COM2" ]; do
  i=$((i + 1))
  if [ $i -gt 100 ]; then echo "with_ptys: no pseudo-terminals" >&2; kill $relay; exit 1; fi
  sleep 0.05
done
"$@"
rc=$?
kill $relay 2>/dev/null
wait $relay 2>/dev/null
rm -f "$ports/COM1" "$ports/COM2"
exit $rc
