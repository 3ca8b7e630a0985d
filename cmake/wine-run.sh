#!/bin/sh
# wine-run.sh win32|win64|LOADER PROGRAM [ARGS...]: runs a Windows program of
# the cross build under Wine. "wine-run.sh win32|win64|LOADER --init" only
# makes the prefix.
#
# win32 runs 32-bit programs with Wine's 32-bit loader, win64 64-bit programs
# with the 64-bit one; a loader's path (/usr/lib/wine/wine64) names it
# directly. The loaders are started directly: the "wine" wrapper picks the
# 32-bit loader whenever it is installed, also on machines whose kernel cannot
# run it.
#
# The Wine prefix is $WINEPREFIX if set, else "wineprefix" in the build folder
# (the nearest folder upwards holding CMakeCache.txt). A prefix made here maps
# the serial ports COM1 and COM2 to the paths ports/COM1 and ports/COM2 beside
# it: tests and scripts make those symbolic links to pseudo-terminals.
case "${1:-}" in
  win32) loader=/usr/lib/wine/wine WINEARCH=win32 ;;
  win64) loader=/usr/lib/wine/wine64 WINEARCH=win64 ;;
  /*64) loader=$1 WINEARCH=win64 ;;
  /*) loader=$1 WINEARCH=win32 ;;
  *) echo "usage: wine-run.sh win32|win64|LOADER PROGRAM [ARGS...] | --init" >&2; exit 2 ;;
esac
shift
# The server is the build machine's own program; either one serves both loaders.
if [ -x /usr/lib/wine/wineserver64 ]; then server=/usr/lib/wine/wineserver64
else server=/usr/lib/wine/wineserver32; fi
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = "/" ] && dir=$(pwd)
  WINEPREFIX="$dir/wineprefix"
fi
# Wine puts the Windows shared user data page at the fixed address 0x7ffe0000.
# Without Wine's preloader (Debian's packages have none) the kernel's address
# randomisation has now and then already placed something there, and the
# program ends at once, status 1, with "failed to map the shared user data"
# (about one start in 3000 of the 64-bit loader). Programs start with the
# kernel's fixed layout where it allows that.
norandom=
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom="setarch $(uname -m) -R"; fi
export WINEPREFIX WINEARCH WINESERVER="$server"
export WINEDEBUG="${WINEDEBUG:--all}"
# No prompts for the .NET and HTML runtimes, which nothing here uses.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

ports=$(dirname "$WINEPREFIX")/ports
if [ ! -f "$WINEPREFIX/.plug-ports" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")" "$ports"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.plug-ports" ]; then
      $norandom "$loader" wineboot.exe -i >/dev/null 2>&1
      for n in 1 2; do
        $norandom "$loader" reg.exe add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$ports/COM$n" /f >/dev/null 2>&1
      done
      # The port mapping is read when the Wine server starts.
      "$server" -k >/dev/null 2>&1
      "$server" -w >/dev/null 2>&1
      if $norandom "$loader" reg.exe query 'HKLM\Software\Wine\Ports' /v COM1 >/dev/null 2>&1; then
        touch "$WINEPREFIX/.plug-ports"
      else
        echo "wine-run.sh: no Wine prefix in $WINEPREFIX ($loader)" >&2
        exit 1
      fi
      "$server" -k >/dev/null 2>&1
      "$server" -w >/dev/null 2>&1
    fi
  ) 9>"$(dirname "$WINEPREFIX")/.wineprefix.lock" || exit 1
fi
[ "${1:-}" = "--init" ] && exit 0
# A Wine server that opens a pseudo-terminal gets it as its controlling
# terminal and lists its objects on stderr when the terminal hangs up: start
# the server with its output discarded (no-op when one is running).
"$server" >/dev/null 2>&1
exec $norandom "$loader" "$@"
