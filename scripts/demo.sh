#!/usr/bin/env bash
# The main job: flash a firmware image with qtxflash-cli.
#   scripts/demo.sh                      simulated C166/167 board (no hardware needed)
#   scripts/demo.sh -p COM3 [-t T] FILE  a real board on a real port
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
BUILD_TARGETS="qtxflash-cli qtxsim" "$ROOT/scripts/build.sh" -DQTX_GUI=OFF -DBUILD_TESTING=OFF >/dev/null
CLI="$ROOT/build/src/cli/qtxflash-cli"
SIM="$ROOT/build/sim/qtxsim"

if [ $# -gt 0 ]; then
  exec "$CLI" "$@"
fi

work=$(mktemp -d /tmp/qtxdemo-XXXXXX)
trap 'kill $simpid 2>/dev/null || true; rm -rf "$work"' EXIT
firmware="$ROOT/samples/demo-c167.bin"

echo "== starting a simulated C166/167 board on COM1 (private port map $work)"
"$SIM" --board c167 --port COM1 --ports-dir "$work" --flash-out "$work/flash.bin" --once --pace \
  >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
for _ in $(seq 100); do [ -L "$work/COM1" ] && break; sleep 0.05; done
cat "$work/sim.out"

echo "== flashing $(basename "$firmware") ($(stat -c %s "$firmware") bytes)"
set +e
QTXFLASH_PORTS="$work" "$CLI" -t C166/167 -p COM1 "$firmware"
rc=$?
set -e
wait $simpid || true
if [ $rc -ne 0 ]; then
  echo "== qtxflash-cli failed with exit status $rc; board log:" >&2
  cat "$work/sim.err" >&2
  exit $rc
fi
size=$(stat -c %s "$firmware")
if cmp -s -n "$size" "$firmware" "$work/flash.bin"; then
  echo "== verified: the simulated flash holds all $size bytes of the image"
else
  echo "== MISMATCH: the simulated flash differs from the image" >&2
  cmp -n "$size" "$firmware" "$work/flash.bin" >&2 || true
  exit 1
fi
