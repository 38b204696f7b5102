#!/usr/bin/env bash
# Produces the streaming engine's figures as markdown tables.
#   bash bench/run-stream-figures.sh [rate|exactness|latency|startup|cpu|all]
# QAV_FIGURE_MINUTES shortens or lengthens the long runs (rate: 60, exactness: 10).
# Rows of a table run two at a time, each in its own process.
set -euo pipefail
cd "$(dirname "$0")/.."
what="${1:-all}"

bash tools/install-deps.sh >/dev/null
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build build/host --target stream_figures >/dev/null
bin=build/host/bench/stream_figures

table() {  # table <gtest name> <rows>
  local name="$1" rows="$2"
  echo
  echo "## $name"
  QAV_FIGURE_CASE=-1 "$bin" --gtest_filter="Figures.$name" | grep '^| row' || true
  seq 0 $((rows - 1)) | xargs -P 2 -I{} env QAV_FIGURE_CASE={} "$bin" --gtest_filter="Figures.$name" \
    | grep -E '^\| [0-9]+ ' | sort -t'|' -k2 -n
}

# CPU time per DPC and per URB completion of a 48 kHz Larch stream.
cpu_histograms() {
  echo
  echo "## DispatchCpu"
  "$bin" --gtest_filter=Figures.DispatchCpu | grep -Ev '^\[|^Running main|^Note:'
}

case "$what" in
  rate) table RateMatching 16 ;;
  exactness) table Exactness 4 ;;
  latency) table Latency 3 ;;
  startup) table StartUp 6 ;;
  cpu) cpu_histograms ;;
  all)
    table StartUp 6
    table Latency 3
    table Exactness 4
    table RateMatching 16
    cpu_histograms
    ;;
  *) echo "usage: $0 [rate|exactness|latency|startup|cpu|all]" >&2; exit 2 ;;
esac
