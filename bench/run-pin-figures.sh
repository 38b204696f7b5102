#!/usr/bin/env bash
# The audio pins' data-path figures as markdown tables (see bench/pin_datapath.cpp
# and, for the driver's real completion path without and with the driver
# logger, bench/pin_completion_figures.cpp; the latter takes about a minute).
#   bash bench/run-pin-figures.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh >/dev/null
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
[ -f build/host/build.ninja ] || cmake --preset host >/dev/null
cmake --build build/host --target pin_datapath pin_completion_figures >/dev/null
build/host/bench/pin_datapath
build/host/bench/pin_completion_figures --gtest_brief=1 | grep '^|\|^#\|^$\|FAIL'
