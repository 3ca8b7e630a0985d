#!/bin/sh
# with_large_frame.sh PREFIX WINE-RUN ARCH PROGRAM [ARGS...]: runs PROGRAM in
# its own Wine prefix whose window metrics draw a 40-pixel caption and a
# 5-pixel sizing border (as larger fonts or another theme do), on a display.
prefix=$1
shift
export WINEPREFIX="$prefix"
"$1" "$2" --init || exit 1
# Negative values are twips (1/1440 inch): 600 = 40 pixels, 75 = 5 at 96 dpi.
for entry in CaptionHeight:-600 CaptionWidth:-600 BorderWidth:-75; do
  "$1" "$2" reg.exe add 'HKCU\Control Panel\Desktop\WindowMetrics' /v "${entry%%:*}" /t REG_SZ \
    /d "${entry#*:}" /f >/dev/null 2>&1 || exit 1
done
# The server and its desktop started above have no display: end them, so that
# the program's own start brings them up on the display it gets.
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=/usr/lib/wine/wineserver32
"$server" -k >/dev/null 2>&1
"$server" -w >/dev/null 2>&1
exec sh "$(dirname "$0")/with_display.sh" "$@"
