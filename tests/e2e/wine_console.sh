#!/usr/bin/env bash
# The Windows console program under Wine against the plug emulator on a
# pseudo-terminal, reached as COM5 through Wine's port mapping:
#   wine_console.sh <plugupdate-console.exe> <plugemu> <wine command> [work dir]
# The wine command is the loader (wine; for the 64-bit build the wine64
# loader, on Debian /usr/lib/wine/wine64). The
# work dir (default: a new temporary one) gets its own Wine prefix, with COM5
# mapped to the link the emulator makes there.
# Cases: an update proven by the second search (exit 0, "verified"), a plug
# too old (exit 3), a missing final prompt (exit 5, no 'x'), and a port that
# does not exist (exit 7). Prints PASS:/FAIL: lines and a count; exits
# non-zero on any failure.
set -u
exe=$1 emu=$2 wine=$3
work=${4:-$(mktemp -d)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
passed=0 failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

export WINEPREFIX=$work/prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
port=$work/COM5
if [ ! -f "$WINEPREFIX/.com5" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$port" /f >/dev/null 2>&1 ||
    { fail "mapping COM5 in the Wine registry"; echo "$passed passed, $failed failed"; exit 1; }
  # The port mapping is read when the Wine server starts.
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  touch "$WINEPREFIX/.com5"
fi
# A server that opens a pseudo-terminal lists its objects on stderr when the
# terminal hangs up: start it with its output discarded.
wineserver -p >/dev/null 2>&1

# run <case> <expected exit> <expected result> [plugemu options...]
run() {
  local name=$1 want_rc=$2 want_result=$3
  shift 3
  local dir=$work/$name emu_pid=""
  mkdir -p "$dir"
  rm -f "$port"
  if [ "$name" != no-port ]; then
    "$emu" --link "$port" "$@" >"$dir/plugemu.log" 2>&1 &
    emu_pid=$!
    for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done
  fi
  local target=COM5
  [ "$name" = no-port ] && target=COM9
  timeout 300 "$wine" "$exe" --port "$target" --update --yes --json </dev/null >"$dir/out.json" 2>"$dir/console.log"
  local rc=$?
  if [ -n "$emu_pid" ]; then
    kill -TERM "$emu_pid" 2>/dev/null
    wait "$emu_pid" 2>/dev/null
  fi
  # Wine may end lines with CR.
  local json
  json=$(tr -d '\r' <"$dir/out.json")
  echo "--- $name: exit $rc"
  sed 's/^/  /' "$dir/console.log"
  echo "  JSON: $json"
  [ -f "$dir/plugemu.log" ] && sed 's/^/  plugemu: /' "$dir/plugemu.log"
  [ "$rc" -eq "$want_rc" ] && pass "$name: exit status $want_rc" || fail "$name: exit status $rc, not $want_rc"
  if echo "$json" | grep -q "^{.*\"result\":\"$want_result\",\"exit_status\":$want_rc,.*}$"; then
    pass "$name: JSON result $want_result"
  else
    fail "$name: JSON result is not $want_result"
  fi
  case $name in
    verified)
      echo "$json" | grep -q '"port":"COM5"' && pass "$name: JSON names COM5" || fail "$name: JSON does not name COM5"
      echo "$json" | grep -q '"banner_after":"Orvane QUOR PLUG Firmware Revision 1.63.2 ' &&
        pass "$name: JSON carries the new banner" || fail "$name: JSON lacks the new banner"
      grep -qx "exits ('x'): 1" "$dir/plugemu.log" && pass "$name: one 'x'" || fail "$name: not exactly one 'x'" ;;
    no-final-prompt)
      grep -qx "exits ('x'): 0" "$dir/plugemu.log" && pass "$name: no 'x'" || fail "$name: an 'x' was sent" ;;
  esac
  if [ -f "$dir/plugemu.log" ]; then
    grep -qx "violations: 0" "$dir/plugemu.log" && pass "$name: no violations" || fail "$name: the plug saw violations"
  fi
}

run verified 0 verified
run too-old 3 too-old --product 1010
run no-final-prompt 5 update-failed --no-final-prompt
run no-port 7 port-error

wineserver -k >/dev/null 2>&1
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
