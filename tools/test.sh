#!/usr/bin/env bash
# Builds the host and sanitizer presets and runs every test.
# QAV_PRESETS overrides which host presets run (default: host host-asan;
# QAV_PRESETS=host-tsan runs the suite under ThreadSanitizer).
#
#   bash tools/test.sh --parallel-tsan
# builds only the driver's test program under ThreadSanitizer and runs its
# removal, power and streaming suites on machines in parallel mode, once per
# seed of QAV_PARALLEL_SEEDS (default "1 2 3"). A seed that fails repeats
# with QAV_PARALLEL_SEED=n and the same filter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
# Let ccache share results between clones of the tree in different folders.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
jobs=${QAV_JOBS:-2}

# Suites where the parallel machine finds what the serial one hides: device
# removal and power transitions beside running streams and work items, and
# the streams themselves.
parallel_filter='RemovalPowerTest.*:PowerResumeTest.*:StreamTest.*:ParallelStreamTest.*:ThresholdTest.*'

parallel_tsan() {
  echo "== host-tsan, parallel mode"
  local start=$(date +%s)
  cmake --preset host-tsan >/dev/null
  cmake --build --preset host-tsan -j "$jobs" --target test_kerneldriver
  echo "built in $(( $(date +%s) - start )) s"
  export TSAN_OPTIONS="suppressions=$PWD/tools/tsan.supp halt_on_error=0 exitcode=66 second_deadlock_stack=1"
  local seed status=0
  for seed in ${QAV_PARALLEL_SEEDS:-1 2 3}; do
    local run=$(date +%s)
    echo "-- seed $seed"
    QAV_PARALLEL_SEED=$seed build/host-tsan/tests/test_kerneldriver --gtest_filter="$parallel_filter" \
      --gtest_brief=1 || { status=$?; echo "seed $seed failed (exit $status)"; }
    echo "seed $seed ran in $(( $(date +%s) - run )) s"
  done
  echo "parallel mode under TSan: $(( $(date +%s) - start )) s"
  return "$status"
}

if [ "${1:-}" = "--parallel-tsan" ]; then
  parallel_tsan
  exit
fi

presets=${QAV_PRESETS:-"host host-asan"}
for preset in $presets; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
