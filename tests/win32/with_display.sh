#!/bin/sh
# with_display.sh COMMAND...: runs COMMAND on the current X display, or on a
# virtual one (Xvfb) when there is none.
if [ -n "$DISPLAY" ]; then exec "$@"; fi
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
