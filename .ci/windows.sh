#!/usr/bin/env bash
# The Windows stage: the cross builds, the Windows test suite under Wine and
# the real program end to end. Its parts run alone too:
#
#   .ci/windows-packages.sh [--i386]  packages from Debian's archive
#   .ci/windows-build.sh PRESET...    cross builds (mingw: the 32-bit product;
#                                     mingw64: its 64-bit twin), header checks
#   .ci/windows-suite.sh PRESET       the Windows test suite under Wine
#   tests/e2e/wine_e2e.sh             the program against the plug emulator
#
# The stage first finds out whether this machine executes 32-bit (i386)
# programs. Where it does, the suite and the end-to-end run take the 32-bit
# build, and the suite runs on the 64-bit twin as well (pointer sizes). Where
# it does not, both take the 64-bit twin under wine64; the 32-bit product is
# still built and its headers checked. PLUG_WINE64_ONLY=1 takes the 64-bit
# path on any machine.
#
# "windows.sh build" runs only the builds (with the emulator), "windows.sh
# test" only the suite and the end-to-end run on what they built; tools/test.sh
# runs the two beside other stages. Without an argument it runs both.
# Ends with "N passed, N failed, N skipped"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh
part=${1:-all}
case $part in all|build|test) ;; *) echo "usage: windows.sh [build|test]" >&2; exit 2 ;; esac

i386=0
if [ "${PLUG_WINE64_ONLY:-0}" = 1 ]; then
  echo "windows: PLUG_WINE64_ONLY=1: the 64-bit path, whatever this machine runs"
elif runs_i386; then
  i386=1
  echo "windows: this machine executes i386 programs: the 32-bit build runs its suite and the end-to-end run, the 64-bit twin its suite"
else
  echo "windows: this machine does not execute i386 programs (Exec format error): the 64-bit twin runs the suite and the end-to-end run under wine64"
fi

packages=()
[ "$i386" = 1 ] && packages+=(--i386)
# The test part runs on what the build part installed.
if [ "$part" != test ] && ! stage "windows packages" bash .ci/windows-packages.sh "${packages[@]}"; then
  if [ "$i386" = 1 ] && stage "windows packages (64-bit path)" bash .ci/windows-packages.sh; then
    # Wine's 32-bit part comes from the i386 archive, whose lists can lag
    # behind the machine's own ones: without it, the 64-bit path.
    echo "windows: Wine's 32-bit loader could not be installed: the 64-bit path"
    i386=0
  else
    fail "Windows packages"
    tally_finish "windows ($part)"
    exit
  fi
fi
if [ "$i386" = 1 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "windows: Wine's 32-bit loader does not start here: the 64-bit path after all"
  i386=0
fi

# The plug emulator is a native program of the normal build.
emu() {
  { [ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null; } &&
    cmake --build build/default -j2 --target plugemu >/dev/null
}

if [ "$part" != test ]; then
  stage "plug emulator (native)" emu || fail "plug emulator build"
  # The build that runs the suite first, so that it can start while the
  # other one builds.
  if [ "$i386" = 1 ]; then
    bash .ci/windows-build.sh mingw mingw64
  else
    # The 32-bit tests cannot run here: the 32-bit programs alone.
    bash .ci/windows-build.sh mingw64
    PLUG_WINDOWS_PROGRAMS_ONLY=1 bash .ci/windows-build.sh mingw
  fi
fi
# end_to_end BUILD LOADER: the end-to-end scenarios in two halves side by
# side, each in a Wine prefix, on a display and on ports of its own (most of
# a scenario is waiting for the emulated plug at the line's speed).
end_to_end() {
  local exe=build/$1/QuorPlugUpdate.exe wine=$2 half a b
  a=(update_on_com1 rescue_on_com1 rescue_cut_load session_ends_in_upload console_text)
  b=(update_on_com5 remembered_rescue_on_com5 console_on_com5 console_interrupt)
  # Every scenario is in one half.
  local all
  all=$(bash tests/e2e/wine_e2e.sh --list | sort)
  if [ "$all" != "$(printf '%s\n' "${a[@]}" "${b[@]}" | sort)" ]; then
    fail "end to end: the halves in .ci/windows.sh do not hold every scenario of tests/e2e/wine_e2e.sh --list"
  fi
  bash tests/e2e/wine_e2e.sh --exe "$exe" --wine "$wine" "${a[@]}" >"build/$1/e2e-a.log" 2>&1 &
  half=$!
  bash tests/e2e/wine_e2e.sh --exe "$exe" --wine "$wine" --prefix "$(pwd)/build/$1/e2e-b/wineprefix" \
    --work "$(pwd)/build/$1/e2e-b/e2e" "${b[@]}" >"build/$1/e2e-b.log" 2>&1
  wait "$half"
  cat "build/$1/e2e-a.log" "build/$1/e2e-b.log"
}

if [ "$part" != build ]; then
  if [ "$i386" = 1 ]; then
    bash .ci/windows-suite.sh mingw
    bash .ci/windows-suite.sh mingw64
    end_to_end mingw win32
  else
    bash .ci/windows-suite.sh mingw64
    end_to_end mingw64 win64
    echo "windows: the 32-bit program (build/mingw/QuorPlugUpdate.exe) is built and its headers checked, but runs only as its 64-bit twin (build/mingw64)"
  fi
fi
tally_finish "windows ($part)"
