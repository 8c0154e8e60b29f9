#!/usr/bin/env bash
# Builds the C166/167 and C163 loaders with the in-repo assembler and writes
# OUTDIR/loader_c166.cpp and OUTDIR/loader_c163.cpp through firmware/loaderimg.py.
#
#   firmware/c166/build.sh OUTDIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
OUT=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

asm_hash=$(cat "$HERE/c166asm.py" "$HERE/c166sfr.py" | sha256sum | cut -c1-16)
build() {  # name symbol size source
  python3 "$HERE/c166asm.py" "$HERE/$4" -o "$WORK/$1.bin" -l "$WORK/$1.lst"
  local sources
  sources=$(cd "$HERE" && cat "$4" protocol.inc board.inc | sha256sum | cut -c1-16)
  python3 "$ROOT/firmware/loaderimg.py" --name "$1" --symbol "$2" --address 0xFA40 --size "$3" \
    --bin "$WORK/$1.bin" \
    --provenance "sources sha256 $sources ($4, protocol.inc, board.inc), c166asm.py sha256 $asm_hash" \
    --generator firmware/c166/build.sh --out "$OUT"
}
build c166 kLoaderC166 810 c166.asm
build c163 kLoaderC163 702 c163.asm
