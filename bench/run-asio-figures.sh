#!/usr/bin/env bash
# The ASIO round trip at 48 kHz for every buffer size and USB performance
# mode on the default simulated interface, as a markdown table: measured
# (loopback, sample-exact) against reported (getLatencies input + output).
# The CSV and the chart stay in build/host/bench/.
#   bash bench/run-asio-figures.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh >/dev/null
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build build/host --target qav >/dev/null
out=build/host/bench
mkdir -p "$out"
# A machine of its own: the modes and rates a user set elsewhere stay out of it.
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
build/host/tools/qav/qav --state "$state" asio loopback --rate 48000 \
  --csv "$out/asio-48k.csv" --svg "$out/asio-48k.svg" >/dev/null
echo "# ASIO round trip at 48 kHz, default simulated interface"
echo
echo "| mode | buffer | measured (samples / ms) | reported in+out (samples / ms) | reported - measured | design | switches | overloads | underruns | overruns |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
# Columns: rate,mode,urb_ms,buffer,found,measured_samples,measured_ms,reported_input,reported_output,
# reported_samples,reported_ms,difference_samples,design_samples,design_ms,switches,overloads,underruns,overruns,note
tail -n +2 "$out/asio-48k.csv" | while IFS=, read -r rate mode urb buffer found ms_s ms_ms ri ro rs rms diff ds dms sw ov un over note; do
  echo "| $mode | $buffer | $ms_s / $ms_ms | $rs / $rms | $diff | $ds / $dms | $sw | $ov | $un | $over |"
done
echo
echo "CSV: $out/asio-48k.csv, chart: $out/asio-48k.svg"
