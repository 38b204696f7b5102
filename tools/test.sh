#!/usr/bin/env bash
# Builds the host and sanitizer presets and runs every test.
# QAV_PRESETS overrides which host presets run (default: host host-asan;
# QAV_PRESETS=host-tsan runs the suite under ThreadSanitizer).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
# Let ccache share results between clones of the tree in different folders.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
presets=${QAV_PRESETS:-"host host-asan"}
jobs=${QAV_JOBS:-2}
for preset in $presets; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
