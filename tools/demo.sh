#!/usr/bin/env bash
# Runs the main job on the default simulated interface.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset host >/dev/null
cmake --build --preset host -j 2 --target qav >/dev/null
exec ./build/host/tools/qav/qav "${@:-start}"
