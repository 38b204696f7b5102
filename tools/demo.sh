#!/usr/bin/env bash
# Runs the main job on the default simulated interface: plays a test signal
# through a user-mode pin and reports what came back. Any qav arguments
# replace it (`bash tools/demo.sh start` starts the driver and reports).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j 2 --target qav >/dev/null
exec ./build/host/tools/qav/qav "${@:-play}"
