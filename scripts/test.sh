#!/usr/bin/env bash
# Sets up, builds (warnings are errors) and runs every test: the full build
# with the window; its Debian package, installed into a scratch root and run
# from there; bounded runs of the fuzzers; then the engine, simulator and
# protocol tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

BUILD_DIR=build "$ROOT/scripts/build.sh" -DQTX_WERROR=ON -DQTX_GUI=ON -DBUILD_TESTING=ON
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300)

# The Debian package of that build, unpacked into a scratch root and run from there.
deb=$(BUILD_DIR=build "$ROOT/scripts/package.sh")
echo "built $deb"
"$ROOT/tests/install/install_test.sh" --deb "$deb"

# Parsers of outside input under libFuzzer (clang), a bounded time each.
CC=clang CXX=clang++ BUILD_DIR=build-fuzz BUILD_TARGETS="fuzz_rtf cmd_frame_fuzz firmware_load_fuzz" \
  "$ROOT/scripts/build.sh" -DQTX_FUZZ=ON -DQTX_GUI=OFF -DBUILD_TESTING=OFF
mkdir -p build-fuzz/rtf-corpus build-fuzz/frame-corpus build-fuzz/firmware-corpus
echo "fuzzing the RTF reader for ${FUZZ_SECONDS} s"
LSAN_OPTIONS=suppressions=$ROOT/fuzz/lsan.supp build-fuzz/fuzz/fuzz_rtf -max_total_time="$FUZZ_SECONDS" \
  -max_len=65536 -timeout=10 -rss_limit_mb=2048 -dict=fuzz/rtf.dict -artifact_prefix=build-fuzz/ \
  -print_final_stats=1 build-fuzz/rtf-corpus fuzz/corpus/rtf docs 2>build-fuzz/rtf.log ||
  { tail -40 build-fuzz/rtf.log; exit 1; }
echo "fuzzing the command-frame receiver for ${FUZZ_SECONDS} s"
build-fuzz/fuzz/cmd_frame_fuzz -max_total_time="$FUZZ_SECONDS" -max_len=700 -artifact_prefix=build-fuzz/ \
  build-fuzz/frame-corpus 2>build-fuzz/frame.log || { tail -40 build-fuzz/frame.log; exit 1; }
# Seeds: a few records of each format, and the files the real tools made for the tests.
echo "fuzzing the firmware-file loader for ${FUZZ_SECONDS} s"
build-fuzz/fuzz/firmware_load_fuzz -max_total_time="$FUZZ_SECONDS" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -dict=fuzz/firmware.dict -artifact_prefix=build-fuzz/ -print_final_stats=1 \
  build-fuzz/firmware-corpus fuzz/corpus/firmware build/tests/formats/files 2>build-fuzz/firmware.log ||
  { tail -40 build-fuzz/firmware.log; exit 1; }

BUILD_DIR=build-asan BUILD_TYPE=Debug "$ROOT/scripts/build.sh" -DQTX_WERROR=ON -DQTX_GUI=OFF \
  -DQTX_SANITIZE=ON -DBUILD_TESTING=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$ROOT/tests/lsan.supp \
  UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j2 --timeout 600)
