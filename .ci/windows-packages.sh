#!/usr/bin/env bash
# Installs what the Windows stage needs from Debian's archive: both mingw-w64
# cross compilers, Wine with its 64-bit loader, the X tools of the end-to-end
# run. "--i386" also installs Wine's 32-bit loader (wine32, from the i386
# architecture); the 64-bit path does without it.
set -uo pipefail
want_i386=0
[ "${1:-}" = "--i386" ] && want_i386=1

missing=""
need() { missing="$missing $1"; }
command -v i686-w64-mingw32-g++-posix >/dev/null || need g++-mingw-w64-i686-posix
command -v i686-w64-mingw32-windres >/dev/null || need binutils-mingw-w64-i686
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need g++-mingw-w64-x86-64-posix
command -v x86_64-w64-mingw32-windres >/dev/null || need binutils-mingw-w64-x86-64
[ -x /usr/lib/wine/wine64 ] || need "wine wine64"
command -v Xvfb >/dev/null || need xvfb
command -v xvfb-run >/dev/null || need "xvfb xauth"
command -v xdotool >/dev/null || need xdotool
command -v xwd >/dev/null || need x11-apps
command -v socat >/dev/null || need socat
[ -x /usr/bin/convert ] || need imagemagick
if [ "$want_i386" = 1 ] && ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  need wine32:i386
fi
if [ -z "$missing" ]; then
  echo "windows packages: all there"
  exit 0
fi
echo "windows packages: installing$missing"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync can fail one index (seen: the i386 list of
# the security archive); what is missing then shows in the install below.
apt-get update -qq >/dev/null 2>&1 || echo "windows packages: apt-get update reported errors; installing from the lists it has"
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null || {
  echo "windows packages: installing$missing failed"
  exit 1
}
