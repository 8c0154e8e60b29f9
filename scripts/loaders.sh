#!/usr/bin/env bash
# Builds every target-side loader from source and regenerates
# src/loaders/loader_*.cpp (or the files in OUTDIR).
#
#   scripts/loaders.sh [OUTDIR]
#
# Each instruction set has its own firmware/<isa>/build.sh OUTDIR, which writes
# the loader_*.cpp files of the images it builds (through firmware/loaderimg.py).
# The host build never needs the cross tools: the
# generated files are committed, and a test checks that this script
# reproduces them byte for byte.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/src/loaders}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cd "$ROOT"
for script in firmware/*/build.sh; do
  [ -e "$script" ] || continue
  echo "loaders: $script" >&2
  bash "$script" "$WORK/images"
done
built=$(cd "$WORK/images" && find . -name "loader_*.cpp" | sed "s|^./loader_||; s|\.cpp$||" | sort | paste -sd, -)
cp "$WORK/images"/loader_*.cpp "$OUT"/
echo "loaders: built from source: $built; written to $OUT" >&2
