#!/usr/bin/env bash
# The whole test suite: the Linux build three times (normal, AddressSanitizer
# with UndefinedBehaviorSanitizer, ThreadSanitizer), a short run of every fuzz
# target (tools/fuzz-smoke.sh), then the Windows stage
# (.ci/windows.sh: cross builds, the Windows suite under Wine, the real program
# end to end) and the release (.ci/release.sh: tools/release.sh twice, the same
# bytes, the files, signing). Each stage prints its duration; the last line is
# "N passed, N failed, N skipped", counted from CTest's own results. Every
# test runs once; a test that fails counts as failed (CTest's output names it).
# Set PLUG_SKIP_WINDOWS=1 to leave out the Windows part.
set -uo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh
begin=$SECONDS
stage "packages" bash tools/deps.sh || exit 1

linux() {
  local preset=$1 junit status
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j2; then
    fail "$preset build"
    return
  fi
  junit=$(pwd)/build/$preset/junit.xml
  rm -f "$junit"
  ctest --preset "$preset" --output-junit "$junit"
  status=$?
  ctest_tally "$junit" "$status"
}
for preset in default asan tsan; do
  stage "$preset: build and tests" linux "$preset"
done

stage "fuzz smoke" bash tools/fuzz-smoke.sh

if [ "${PLUG_SKIP_WINDOWS:-0}" != 1 ]; then
  stage "windows" bash .ci/windows.sh
  stage "release" bash .ci/release.sh
fi

echo "=== all stages: $((SECONDS - begin)) s"
tally_finish all
