#!/usr/bin/env bash
# Smoke run of the fuzz targets: builds the `asan` preset whole (clang,
# libFuzzer, ASan+UBSan: so clang compiles the whole tree, warnings as errors;
# tools/test.sh has built it already for its tests) and runs every target in fuzz/targets.txt for a short while on a copy of its
# committed seed corpus. A target passes when it ran its time without a crash,
# a leak, a time-out or a failed check. Ends with "N passed, N failed, N
# skipped" (counted into tools/test.sh's total when it runs this).
#
#   PLUG_FUZZ_SECONDS   seconds per target (default 20)
#   --packages          only installs the packages it needs
#
# Long runs: see docs/fuzzing.md.
set -uo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh

need=""
command -v cmake >/dev/null || need="$need cmake"
command -v make >/dev/null || need="$need make"
command -v clang++ >/dev/null || need="$need clang"
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need="$need libclang-rt-14-dev"
dpkg -s libgtest-dev >/dev/null 2>&1 || need="$need libgtest-dev"
dpkg -s libgmock-dev >/dev/null 2>&1 || need="$need libgmock-dev"
if [ -n "$need" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || echo "fuzz smoke: apt-get update reported errors; installing from the lists it has"
  apt-get install -y -qq --no-install-recommends $need || exit 1
fi
# --packages: only what the build needs.
[ "${1:-}" = --packages ] && exit 0

seconds=${PLUG_FUZZ_SECONDS:-20}
targets=$(grep -E '^[a-z_]+$' fuzz/targets.txt)

built() {
  { [ -f build/asan/CMakeCache.txt ] || cmake --preset asan >/dev/null; } && cmake --build --preset asan -j2 >/dev/null
}
if ! built; then
  fail "fuzz build"
  tally_finish "fuzz smoke"
  exit
fi

work=$(mktemp -d)
trap 'rm -rf "$work" "$plug_tally_own"' EXIT
for t in $targets; do
  mkdir -p "$work/$t"
  cp fuzz/corpus/$t/* "$work/$t/"
  log="$work/$t.log"
  echo "=== $t: ${seconds} s on its corpus"
  if build/asan/fuzz/$t -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/$t-" "$work/$t" >"$log" 2>&1; then
    pass "$t: ${seconds} s without a finding ($(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n1 | tr -s ' '))"
  else
    fail "$t"
    tail -n 40 "$log"
    for a in "$work/$t"-*; do
      [ -e "$a" ] && echo "input: $(basename "$a"): $(od -An -tx1 -N64 "$a" | tr -s ' ' | head -c 200)"
    done
  fi
done

tally_finish "fuzz smoke"
