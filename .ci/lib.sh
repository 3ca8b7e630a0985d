# Helpers shared by tools/test.sh and the Windows stage scripts; sourced by
# bash scripts.
#
# Counting: pass/fail/skip print one line each and count it. A script ends
# with tally_finish, which prints "N passed, N failed, N skipped" and, when it
# was started by another script that set PLUG_TALLY to a file, adds its counts
# to that file: a caller sums its parts from the file, never from their text.
# A script's own parts add to its own file (tally_file).

plug_tally_parent=${PLUG_TALLY:-}
plug_tally_own=$(mktemp)
export PLUG_TALLY=$plug_tally_own
trap 'rm -f "$plug_tally_own"' EXIT

tally_add() { echo "$1 $2 $3" >>"$plug_tally_own"; }
pass() { echo "PASS: $*"; tally_add 1 0 0; }
fail() { echo "FAIL: $*"; tally_add 0 1 0; }
skip() { echo "SKIP: $*"; tally_add 0 0 1; }

# Prints "passed failed skipped" so far.
tally_sum() { awk '{ p += $1; f += $2; s += $3 } END { printf "%d %d %d\n", p, f, s }' "$plug_tally_own"; }
tally_failed() { [ "$(tally_sum | cut -d' ' -f2)" -ne 0 ]; }

# tally_finish LABEL: the last line of the script, "N passed, N failed, N
# skipped" (prefixed with LABEL when another script counts it, so the
# whole run prints that line once); its status is 0 when nothing failed.
tally_finish() {
  local p f s
  read -r p f s < <(tally_sum)
  if [ -n "$plug_tally_parent" ]; then
    echo "$p $f $s" >>"$plug_tally_parent"
    echo "$1: $p passed, $f failed, $s skipped"
  else
    echo "$p passed, $f failed, $s skipped"
  fi
  [ "$f" -eq 0 ]
}

# ctest_tally JUNIT_XML CTEST_STATUS [GTEST_XML_DIR]: counts a CTest run from
# the JUnit file it wrote (--output-junit): a test that ran and passed, one
# that failed, one that CTest skipped on purpose (skip return code or output,
# disabled). A test that could not run at all counts as failed, and so does a
# failing CTest run whose file names no failure (or no file).
# With GTEST_XML_DIR, a CTest test that ran a whole GoogleTest program (or a
# part of one) and left GTEST_XML_DIR/<test>.xml counts as the cases in that
# file, one by one (cmake/gtest-programs.cmake); a failed test whose file shows
# no failed case (it ended badly after its cases) counts one failure more.
ctest_tally() {
  local xml=$1 status=$2 dir=${3:-} counts p f s
  if [ ! -s "$xml" ]; then
    fail "CTest wrote no results ($xml), status $status"
    return
  fi
  counts=$(awk -v dir="$dir" '
    # Counts the cases of a GoogleTest XML file; returns its failed cases.
    function gtest(file,    line, open, failed, st, res) {
      gp = gf = gs = 0
      while ((getline line < file) > 0) {
        if (line ~ /<testcase /) {
          st = line; sub(/.*status="/, "", st); sub(/".*/, "", st)
          res = line; sub(/.*result="/, "", res); sub(/".*/, "", res)
          if (st == "notrun") { gs++; open = 0 }
          else if (res == "skipped") { gs++; open = 0 }
          else { open = 1; failed = 0 }
          if (open && line ~ /\/>[[:space:]]*$/) { gp++; open = 0 }
        } else if (open && line ~ /<failure /) {
          failed = 1
        } else if (open && line ~ /<\/testcase>/) {
          if (failed) gf++; else gp++
          open = 0
        }
      }
      close(file)
      return gf
    }
    function close_case(    file) {
      if (st == "") return
      file = dir "/" name ".xml"
      if (dir != "" && st != "notrun" && (getline dummy < file) > 0) {
        close(file)
        gtest(file)
        p += gp; f += gf; s += gs
        if (st == "fail" && gf == 0) f++
      }
      else if (st == "run") p++
      else if (st == "fail") f++
      else if (st == "disabled") s++
      else if (st == "notrun") { if (msg ~ /^SKIP_/) s++; else f++ }
      st = ""
    }
    /<testcase / {
      close_case()
      st = $0; sub(/.*status="/, "", st); sub(/".*/, "", st)
      name = $0; sub(/.*name="/, "", name); sub(/".*/, "", name)
      msg = ""
    }
    /<skipped message="/ { msg = $0; sub(/.*<skipped message="/, "", msg) }
    END { close_case(); printf "%d %d %d\n", p, f, s }' "$xml")
  read -r p f s <<<"$counts"
  echo "ctest: $p passed, $f failed, $s skipped (status $status)"
  tally_add "$p" "$f" "$s"
  if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
    fail "CTest ended with status $status"
  fi
  if [ "$f" -ne 0 ]; then
    awk '/<testcase / && /status="(fail|notrun)"/ { n = $0; sub(/.*name="/, "", n); sub(/".*/, "", n); print "  failed or not run: " n }' "$xml" | head -n 40
    if [ -n "$dir" ]; then
      grep -l '<failure ' "$dir"/*.xml 2>/dev/null | while read -r g; do
        awk -v prog="$(basename "$g" .xml)" '/<testcase / { c = $0; sub(/.*<testcase name="/, "", c); sub(/".*/, "", c); k = $0; sub(/.*classname="/, "", k); sub(/".*/, "", k) }
          /<failure / { print "  failed: " prog ": " k "." c }' "$g"
      done | sort -u | head -n 40
    fi
  fi
}

# stage NAME COMMAND...: runs COMMAND and prints how long it took.
stage() {
  local name=$1 start=$SECONDS rc
  shift
  echo "=== $name"
  "$@"
  rc=$?
  echo "=== $name: $((SECONDS - start)) s"
  return $rc
}

# Whether the kernel runs an i386 program: a 95-byte static ELF that exits
# with status 42 through the i386 system call.
runs_i386() {
  local probe status
  probe=$(mktemp)
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5f\x00\x00\x00\x5f\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xb3\x2a\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
  status=$?
  rm -f "$probe"
  [ "$status" -eq 42 ]
}
