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
# the streams themselves; less three long steady-state runs (minutes of
# streaming that repeat what the shorter streaming tests already race, and
# take two thirds of the time under ThreadSanitizer). Then the clients' side:
# audio and MIDI pins and the private interface reached from user mode, less
# the per-format exactness runs (steady streaming again, half a minute here).
parallel_filter='RemovalPowerTest.*:PowerResumeTest.*:StreamTest.*:ParallelStreamTest.*:ThresholdTest.*'
parallel_filter+=':UserStreamTest.*:*UserStreamNarrowSubslot.*:ChannelLimitTest.*'
parallel_filter+=':PrivateProperties.*:PrivateMethods.*:PrivateEvents.*:StreamingClients.*:*UrbSizePropertyTest.*'
parallel_filter+=':RequestsDuringRebalance.*:UserPinsUrbSizeTest.*:MidiUserPinTest.*:MidiPortTest.*:MidiPinNameTest.*'
parallel_filter+=':TraceConcurrencyTest.*:DriverTraceTest.*'
parallel_filter+='-StreamTest.ExplicitFeedbackKeepsTheDeviceFifoCentredAtEveryFeedbackInterval'
parallel_filter+=':StreamTest.ARampPlayedAtEveryUrbSizeReachesTheDeviceAndComesBackUnaltered'
parallel_filter+=':StreamTest.NothingIsAllocatedBetweenStartAndStop'

# One seed's run; its output goes to a log beside the program, shown when it fails.
parallel_seed() {
  local seed="$1" log="build/host-tsan/parallel-seed-$1.log" run=$(date +%s)
  if QAV_PARALLEL_SEED="$seed" build/host-tsan/tests/test_kerneldriver --gtest_filter="$parallel_filter" \
    --gtest_brief=1 >"$log" 2>&1; then
    echo "seed $seed passed in $(( $(date +%s) - run )) s"
  else
    cat "$log"
    echo "seed $seed FAILED (reproduce: QAV_PARALLEL_SEED=$seed, the filter above; log $log)"
    return 1
  fi
}

parallel_tsan() {
  echo "== host-tsan, parallel mode"
  local start=$(date +%s)
  cmake --preset host-tsan >/dev/null
  cmake --build --preset host-tsan -j "$jobs" --target test_kerneldriver
  echo "built in $(( $(date +%s) - start )) s; filter $parallel_filter"
  export TSAN_OPTIONS="suppressions=$PWD/tools/tsan.supp exitcode=66 second_deadlock_stack=1"
  export parallel_filter
  export -f parallel_seed
  local status=0
  printf '%s\n' ${QAV_PARALLEL_SEEDS:-1 2 3} | xargs -P "$jobs" -I{} bash -c 'parallel_seed {}' || status=1
  echo "parallel mode under ThreadSanitizer: $(( $(date +%s) - start )) s"
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
