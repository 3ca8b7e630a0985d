#!/usr/bin/env bash
# The whole test suite: the Linux build three times (normal with GCC,
# AddressSanitizer with UndefinedBehaviorSanitizer under clang with the fuzz
# targets, ThreadSanitizer), a short run of every fuzz target
# (tools/fuzz-smoke.sh), the Windows stage (.ci/windows.sh: cross builds, the
# Windows suite under Wine, the real program end to end) and the release
# (.ci/release.sh: tools/release.sh twice, the same bytes, the files, signing).
#
# Three lanes run side by side: one builds (each build on both cores), one
# runs the Linux suites (which mostly wait on the simulated plug's real time)
# and the fuzz smoke, one the Windows suite and the end-to-end runs under Wine
# once the Windows builds are there. Each stage's output is printed whole when it
# ends, with its duration; the end is a table of the stages (seconds, and
# when each ran from the start) and the line "N passed, N failed, N skipped",
# counted from CTest's own results. Every test runs once; a test that fails
# counts as failed (the output names it).
# Set PLUG_SKIP_WINDOWS=1 to leave out the Windows part and the release.
set -uo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh
begin=$SECONDS
jobs_dir=$(mktemp -d)
trap 'rm -rf "$jobs_dir" "$plug_tally_own"' EXIT
windows=1
[ "${PLUG_SKIP_WINDOWS:-0}" = 1 ] && windows=0

# job KEY NAME COMMAND...: runs COMMAND with its output in a log of its own;
# when it ends, prints that log under the stage's name (one stage at a time),
# notes its seconds for the table and its status for `after`.
job() {
  local key=$1 name=$2 start=$SECONDS rc
  shift 2
  "$@" >"$jobs_dir/$key.log" 2>&1 </dev/null
  rc=$?
  {
    flock 9
    echo "=== $name"
    cat "$jobs_dir/$key.log"
    echo "=== $name: $((SECONDS - start)) s"
    printf '%s\t%d\t%d\t%d\n' "$name" $((SECONDS - start)) $((start - begin)) $((SECONDS - begin)) >>"$jobs_dir/times"
  } 9>"$jobs_dir/print.lock"
  echo "$rc" >"$jobs_dir/$key.done"
  return "$rc"
}
# after KEY: waits for the job KEY to end; its status.
after() {
  while [ ! -f "$jobs_dir/$1.done" ]; do sleep 1; done
  return "$(cat "$jobs_dir/$1.done")"
}

packages() {
  bash tools/deps.sh || return 1
  bash tools/fuzz-smoke.sh --packages || return 1
}

build() {  # build PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j2 || { fail "$1 build"; return 1; }
}
tests() {  # tests PRESET
  local junit status
  junit=$(pwd)/build/$1/junit.xml
  rm -f "$junit"
  ctest --preset "$1" --output-junit "$junit"
  status=$?
  ctest_tally "$junit" "$status"
}

builds() {
  job build-default "default: build" build default
  job build-asan "asan: build (clang, with the fuzz targets)" build asan
  job build-tsan "tsan: build" build tsan
  if [ "$windows" = 1 ]; then
    job build-windows "windows: builds" bash .ci/windows.sh build
    job release "release" bash .ci/release.sh
  fi
}
# tests_of PRESET: its tests, once its build is there.
tests_of() {
  if after "build-$1"; then
    job "tests-$1" "$1: tests" tests "$1"
  else
    job "tests-$1" "$1: tests" fail "$1: no build to test"
  fi
}
runs() {
  tests_of default
  tests_of asan
  job fuzz "fuzz smoke" bash tools/fuzz-smoke.sh
  tests_of tsan
}
# After the Windows builds, whether or not each of their checks passed (what
# was not built fails in the suite).
wine() {
  after build-windows
  job tests-windows "windows: suite and end to end" bash .ci/windows.sh test
}

stage "packages" packages || exit 1
builds &
lanes=($!)
if [ "$windows" = 1 ]; then
  wine &
  lanes+=($!)
fi
runs
wait "${lanes[@]}"

echo "=== stages (seconds; from and to, in seconds from the start)"
awk -F'\t' '{ printf "  %-48s %5d   %5d-%d\n", $1, $2, $3, $4 }' "$jobs_dir/times"
echo "=== all stages: $((SECONDS - begin)) s"
tally_finish all
