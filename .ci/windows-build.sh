#!/usr/bin/env bash
# windows-build.sh PRESET...: the Windows cross builds (presets mingw, the
# 32-bit product, and mingw64, its 64-bit twin), each configured and built from
# scratch if need be (the build makes its native host tools itself), then the
# headers of what they made checked:
#   - the program QuorPlugUpdate.exe: PE32 for i386 (mingw) or PE32+ for
#     x86-64 (mingw64), GUI subsystem, no DLL beyond those of a bare Windows,
#     the manifest that runs it as the invoking user;
#   - every Windows program of the build (windows-programs.txt): address-space
#     randomisation and no-execute data asked for (DYNAMIC_BASE, NX_COMPAT),
#     and high-entropy randomisation on 64 bits (HIGH_ENTROPY_VA).
# PLUG_WINDOWS_PROGRAMS_ONLY=1 builds the two programs alone, without the
# test programs (for a build whose tests do not run here).
# Ends with "N passed, N failed, N skipped"; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh
[ $# -gt 0 ] || set -- mingw mingw64

# DllCharacteristics bits.
readonly HIGH_ENTROPY_VA=0x0020 DYNAMIC_BASE=0x0040 NX_COMPAT=0x0100

check_program() {  # check_program OBJDUMP FILE FORMAT
  local objdump=$1 exe=$2 format=$3 headers dlls extra
  headers=$("$objdump" -p "$exe" 2>/dev/null)
  dlls=$(sed -nE 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
  extra=$(grep -vE '^(kernel32|user32|gdi32|msvcrt|advapi32|comctl32|shell32|version|ntdll)\.dll$' <<<"$dlls")
  if grep -q "file format $format\$" <<<"$headers" &&
     grep -Eq "^Subsystem[[:space:]]+00000002" <<<"$headers" && [ -z "$extra" ]; then
    pass "$exe: $format GUI program, DLLs:" $dlls
  else
    fail "$exe is not a static $format GUI program"
    grep -E "file format|^Subsystem" <<<"$headers"
    echo "  DLLs:" $dlls
  fi
}

check_manifest() {  # check_manifest WINDRES FILE
  local res
  res=$(mktemp)
  if "$1" -i "$2" -O res -o "$res" 2>/dev/null &&
     [ "$(grep -ac '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$res")" = 1 ]; then
    pass "$2: manifest runs it as the invoking user"
  else
    fail "$2: no manifest with requestedExecutionLevel asInvoker"
  fi
  rm -f "$res"
}

check_loader_flags() {  # check_loader_flags OBJDUMP BUILD WANT
  local objdump=$1 build=$2 want=$3 n=0 bad=0 exe value
  while read -r exe; do
    [ -n "$exe" ] || continue
    # A build of the programs alone (PLUG_WINDOWS_PROGRAMS_ONLY) has no tests.
    [ -n "${PLUG_WINDOWS_PROGRAMS_ONLY:-}" ] && [ ! -f "$build/$exe" ] && continue
    n=$((n + 1))
    value=$("$objdump" -p "$build/$exe" 2>/dev/null | awk '$1 == "DllCharacteristics" { print $2 }')
    if [ -z "$value" ] || [ $((0x$value & want)) -ne $((want)) ]; then
      fail "$build/$exe: DllCharacteristics ${value:-missing}, wants all of $(printf '%04x' $((want)))"
      bad=$((bad + 1))
    fi
  done <"$build/windows-programs.txt"
  [ "$bad" -eq 0 ] && pass "$build: all $n Windows programs ask for ASLR and DEP (DllCharacteristics $(printf '%04x' $((want))))"
}

build_preset() {
  local preset=$1 build=build/$1 prefix format want
  case $preset in
    mingw) prefix=i686-w64-mingw32 format=pei-i386 want=$((DYNAMIC_BASE | NX_COMPAT)) ;;
    mingw64) prefix=x86_64-w64-mingw32 format=pei-x86-64 want=$((DYNAMIC_BASE | NX_COMPAT | HIGH_ENTROPY_VA)) ;;
    *) fail "unknown Windows preset $preset"; return ;;
  esac
  mkdir -p "$build"
  # The host tools of the normal build where it has them.
  local tools=()
  [ -x build/default/tools/host/hex2image ] && [ -x build/default/tools/host/hexgen ] &&
    [ -x build/default/tools/host/mkicon ] && tools=(-DPLUG_PREBUILT_HOST_TOOLS="$(pwd)/build/default/tools/host")
  if ! cmake --preset "$preset" "${tools[@]}" >"$build/configure.log" 2>&1; then
    tail -n 30 "$build/configure.log"
    fail "$preset configure"
    return
  fi
  local targets=()
  [ -n "${PLUG_WINDOWS_PROGRAMS_ONLY:-}" ] && targets=(--target plugupdate plugupdate-console)
  if ! cmake --build "$build" -j2 "${targets[@]}" >"$build/build.log" 2>&1; then
    grep -E "error|Error" "$build/build.log" | head -n 40
    fail "$preset build (log: $build/build.log)"
    return
  fi
  pass "$preset build"
  local exe=$build/QuorPlugUpdate.exe
  if [ ! -f "$exe" ]; then
    fail "$preset: $exe not built"
    return
  fi
  check_program "$prefix-objdump" "$exe" "$format"
  check_manifest "$prefix-windres" "$exe"
  check_loader_flags "$prefix-objdump" "$build" "$want"
}

for preset in "$@"; do
  stage "windows build $preset" build_preset "$preset"
done
tally_finish "windows builds"
