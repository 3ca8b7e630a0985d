#!/bin/sh
# with_dpi.sh PREFIX DPI WINE-RUN ARCH PROGRAM [ARGS...]: runs PROGRAM in its
# own Wine prefix whose screen has DPI pixels per inch (LogPixels: 144 is the
# 150 % scale of a Windows desktop), on a display.
prefix=$1
dpi=$2
shift 2
export WINEPREFIX="$prefix"
"$1" "$2" --init || exit 1
"$1" "$2" reg.exe add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 ||
  exit 1
# The server and its desktop started above have no display: end them, so that
# the program's own start brings them up on the display it gets.
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32
"$server" -k >/dev/null 2>&1
"$server" -w >/dev/null 2>&1
exec sh "$(dirname "$0")/with_display.sh" "$@"
