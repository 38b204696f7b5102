#!/usr/bin/env bash
# Runs one fuzz target for a while.
#   fuzz/run.sh device-model [seconds]   configuration and model building on a fake USB stack
#                                        (thousands of inputs a second)
#   fuzz/run.sh device-start [seconds]   the whole device start on a Machine (hundreds a second)
#   fuzz/run.sh ks-request [seconds]     user-mode property, method and event requests on a started device
#   fuzz/run.sh asio-sequence [seconds]  IASIO call sequences from a stand-in host on the ASIO driver
#                                        object, with devices removed and changed between the calls
#   fuzz/run.sh lsusb-text [seconds]     `lsusb -v` text to descriptor bytes and a device definition
#   fuzz/run.sh raw-text [seconds]       raw descriptor text to descriptor bytes and a device definition
#   fuzz/run.sh midi [seconds]           MIDI byte streams through the parser and encoder, bulk
#                                        payloads through the decoder (starts from an empty corpus)
# seconds defaults to 60; 0 runs until stopped. Builds with clang 15 into build/fuzz,
# writes the catalog seeds into build/fuzz/fuzz/<target>_corpus (which keeps what the
# fuzzer finds between runs) and reads the saved crashing inputs of fuzz/regressions/<target>/
# too; new findings (crash-*, timeout-*) land in build/fuzz/fuzz/.
set -euo pipefail
target="${1:-}"
seconds="${2:-60}"
seeds=yes
case "$target" in
  midi) timeout=10 maxlen=2048 seeds=no ;;
  device-model) timeout=10 maxlen=4096 ;;
  device-start) timeout=30 maxlen=4096 ;;
  ks-request) timeout=30 maxlen=4096 ;;
  asio-sequence) timeout=30 maxlen=1024 ;;
  lsusb-text|raw-text) timeout=10 maxlen=65536 ;;
  *) echo "usage: $0 device-model|device-start|ks-request|asio-sequence|lsusb-text|raw-text|midi [seconds]" >&2; exit 2 ;;
esac
name="${target/-/_}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-15 \
  -DCMAKE_CXX_COMPILER=clang++-15 -DQAV_SANITIZE=address -DQAV_FUZZ=ON >/dev/null
targets=("${name}_fuzzer")
if [ "$seeds" = yes ]; then targets+=("${name}_seeds"); fi
cmake --build "$build" --target "${targets[@]}" -j 2
corpus="$build/fuzz/${name}_corpus"
mkdir -p "$corpus"
if [ "$seeds" = yes ]; then "$build/fuzz/${name}_seeds" "$corpus" >/dev/null; fi
folders=("$corpus")
if [ -d "$root/fuzz/regressions/$name" ]; then folders+=("$root/fuzz/regressions/$name"); fi
cd "$build/fuzz"
# Symbolized stacks in reports: clang-15's runtime does not find the
# unversioned llvm-symbolizer by itself.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
  for candidate in llvm-symbolizer-15 llvm-symbolizer llvm-symbolizer-14; do
    if path="$(command -v "$candidate")"; then export ASAN_SYMBOLIZER_PATH="$path"; break; fi
  done
fi
# -detect_leaks=0: libFuzzer's leak check runs after every input that
# allocates more host memory than it frees, which winsim's bookkeeping
# always does, and it costs most of the run. The driver's memory is pool,
# which each target accounts for itself (pool left at unload or teardown is
# a finding).
exec "./${name}_fuzzer" -max_total_time="$seconds" -timeout="$timeout" -max_len="$maxlen" -detect_leaks=0 \
  "${folders[@]}"
