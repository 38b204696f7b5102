#!/usr/bin/env bash
# The ASIO driver's streaming-cycle figures as markdown tables (see
# bench/asio_pass_figures.cpp).
#   bash bench/run-asio-pass-figures.sh [--copies]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh >/dev/null
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build build/host --target asio_pass_figures >/dev/null
build/host/bench/asio_pass_figures "$@"
