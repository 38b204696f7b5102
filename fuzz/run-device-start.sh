#!/usr/bin/env bash
# Fuzzes the driver's device start with arbitrary configuration descriptors.
#   fuzz/run-device-start.sh [seconds]   (default 60; 0 runs until stopped)
# Builds with clang 15 into build/fuzz; findings land in build/fuzz/fuzz/.
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-15 \
  -DCMAKE_CXX_COMPILER=clang++-15 -DQAV_SANITIZE=address -DQAV_FUZZ=ON >/dev/null
cmake --build "$build" --target device_start_fuzzer device_start_seeds -j 2
corpus="$build/fuzz/device_start_corpus"
mkdir -p "$corpus"
"$build/fuzz/device_start_seeds" "$corpus"
cd "$build/fuzz"
exec ./device_start_fuzzer -max_total_time="$seconds" -timeout=30 -max_len=4096 "$corpus"
