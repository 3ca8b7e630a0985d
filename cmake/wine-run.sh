#!/bin/sh
# Runs a Windows program of the cross build under Wine.
# "wine-run.sh --init" only makes the prefix.
#
# The Wine prefix is $WINEPREFIX if set, else "wineprefix" in the build folder
# (the nearest folder upwards holding CMakeCache.txt). A prefix made here maps
# the serial ports COM1 and COM2 to the paths ports/COM1 and ports/COM2 beside
# it: tests and scripts make those symbolic links to pseudo-terminals.
if [ -z "$WINEPREFIX" ]; then
  dir=$(pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = "/" ] && dir=$(pwd)
  WINEPREFIX="$dir/wineprefix"
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# No prompts for the .NET and HTML runtimes, which nothing here uses.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

ports=$(dirname "$WINEPREFIX")/ports
if [ ! -f "$WINEPREFIX/.plug-ports" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")" "$ports"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.plug-ports" ]; then
      wineboot -i >/dev/null 2>&1
      for n in 1 2; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$ports/COM$n" /f >/dev/null 2>&1
      done
      # The port mapping is read when the Wine server starts.
      wineserver -k >/dev/null 2>&1
      wineserver -w >/dev/null 2>&1
      touch "$WINEPREFIX/.plug-ports"
    fi
  ) 9>"$(dirname "$WINEPREFIX")/.wineprefix.lock"
fi
[ "${1:-}" = "--init" ] && exit 0
# A Wine server that opens a pseudo-terminal gets it as its controlling
# terminal and lists its objects on stderr when the terminal hangs up: start
# the server with its output discarded (no-op when one is running).
wineserver >/dev/null 2>&1
exec wine "$@"
