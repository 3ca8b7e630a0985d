#!/usr/bin/env bash
# The whole test suite: the Linux build three times (normal, AddressSanitizer
# with UndefinedBehaviorSanitizer, ThreadSanitizer), then the Windows build
# with its tests under Wine and the end-to-end run of the real program.
# Set PLUG_SKIP_WINDOWS=1 to leave out the Windows part.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh || exit 1

passed=0
failed=0
skipped=0
status=0
for preset in default asan tsan; do
  echo "=== $preset build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j2; then
    echo "=== $preset: build failed"
    status=1
    failed=$((failed + 1))
    continue
  fi
  log=$(mktemp)
  ctest --preset "$preset" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n1)
  if [ -n "$line" ]; then
    total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
    bad=$(echo "$line" | sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/')
    skip=$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)$' "$log")
    passed=$((passed + total - bad - skip))
    failed=$((failed + bad))
    skipped=$((skipped + skip))
  else
    status=1
  fi
  rm -f "$log"
done

if [ "${PLUG_SKIP_WINDOWS:-0}" != 1 ]; then
  echo "=== windows build, tests under Wine, end-to-end run"
  log=$(mktemp)
  bash .ci/windows.sh 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n1)
  if [ -n "$line" ]; then
    passed=$((passed + $(echo "$line" | cut -d' ' -f1)))
    failed=$((failed + $(echo "$line" | cut -d' ' -f3)))
  else
    status=1
  fi
  rm -f "$log"
fi

[ "$failed" -eq 0 ] || status=1
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
