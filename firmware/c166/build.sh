#!/usr/bin/env bash
# Builds the C166/167, C163, XC164/167 and XE167 loaders with the in-repo assembler
# and writes OUTDIR/loader_NAME.cpp through firmware/loaderimg.py.
#
#   firmware/c166/build.sh OUTDIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
OUT=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

asm_hash=$(cat "$HERE/c166asm.py" "$HERE/c166sfr.py" | sha256sum | cut -c1-16)
build() {  # name symbol size address source include...
  local name=$1 symbol=$2 size=$3 address=$4 source=$5
  shift 5
  python3 "$HERE/c166asm.py" "$HERE/$source" -o "$WORK/$name.bin" -l "$WORK/$name.lst"
  if [ "$name" = xe167 ]; then   # memory order to line order (xe167.asm, "Layout")
    mv "$WORK/$name.bin" "$WORK/$name.mem"
    python3 "$HERE/xe167_wire.py" "$WORK/$name.mem" "$WORK/$name.bin" --exit 20 --size "$size"
  fi
  local sources
  sources=$(cd "$HERE" && cat "$source" "$@" | sha256sum | cut -c1-16)
  local list
  list=$(echo "$source" "$@" | sed 's/ /, /g')
  python3 "$ROOT/firmware/loaderimg.py" --name "$name" --symbol "$symbol" --address "$address" --size "$size" \
    --bin "$WORK/$name.bin" \
    --provenance "sources sha256 $sources ($list), c166asm.py sha256 $asm_hash" \
    --generator firmware/c166/build.sh --out "$OUT"
}
build c166 kLoaderC166 810 0xFA40 c166.asm protocol.inc board.inc
build c163 kLoaderC163 702 0xFA40 c163.asm protocol.inc board.inc
build xc164 kLoaderXC164 1854 0xE00004 xc164.asm xc16x.inc xc16x_start.inc xc16x_body.inc
build xe167 kLoaderXE167 2074 0xE00000 xe167.asm xe167.inc xc16x_start.inc xc16x_body.inc xe167_wire.py
