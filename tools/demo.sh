#!/usr/bin/env bash
# Runs the main job on the default simulated interface: an ASIO host measures
# the round trip through the driver at every buffer size, mode and rate and
# sets it beside the latency the driver reports. Any qav arguments replace it
# (`bash tools/demo.sh play` plays a test signal through a user-mode pin).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j 2 --target qav >/dev/null
[ $# -gt 0 ] || set -- asio loopback
exec ./build/host/tools/qav/qav "$@"
