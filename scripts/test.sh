#!/usr/bin/env bash
# Sets up, builds (warnings are errors) and runs every test: the full build
# with the window, then the engine, simulator and protocol tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"

BUILD_DIR=build "$ROOT/scripts/build.sh" -DQTX_WERROR=ON -DQTX_GUI=ON -DBUILD_TESTING=ON
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300)

BUILD_DIR=build-asan BUILD_TYPE=Debug "$ROOT/scripts/build.sh" -DQTX_WERROR=ON -DQTX_GUI=OFF \
  -DQTX_SANITIZE=ON -DBUILD_TESTING=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j2 --timeout 600)
