#!/usr/bin/env bash
# Sets up, builds (warnings are errors) and runs every test.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"
BUILD_DIR=build "$ROOT/scripts/build.sh" -DQTX_WERROR=ON -DQTX_GUI=ON -DBUILD_TESTING=ON
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300
