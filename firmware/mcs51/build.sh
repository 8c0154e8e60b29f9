#!/usr/bin/env bash
# Builds the C509 loader with sdas8051/sdld (sdcc) and writes
# OUTDIR/loader_c509.cpp through firmware/loaderimg.py.
#
#   firmware/mcs51/build.sh OUTDIR
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
OUT=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cp "$HERE/c509_loader.asm" "$HERE/c509_board.inc" "$WORK/"
(cd "$WORK" && sdas8051 -plosgff c509_loader.asm && sdld -n -i c509_loader.ihx c509_loader.rel >/dev/null)
# The header's unused bytes are not in the hex file: they are zeros. Code ends
# where the hex file ends; loaderimg.py pads it to the image size.
srec_cat "$WORK/c509_loader.ihx" -intel -fill 0x00 0xF400 0xF420 -offset -0xF400 -o "$WORK/c509.bin" -binary

sources=$(cd "$HERE" && cat c509_loader.asm c509_board.inc | sha256sum | cut -c1-16)
tool=$(sdas8051 2>&1 | sed -n 's/^sdas Assembler \(V[^ ]*\).*/\1/p' | head -1 || true)
python3 "$ROOT/firmware/loaderimg.py" --name c509 --symbol kLoaderC509 --address 0xF400 --size 466 \
  --pad 0x00 --bin "$WORK/c509.bin" \
  --provenance "sources sha256 $sources (c509_loader.asm, c509_board.inc), sdas8051 ${tool:-unknown}" \
  --generator firmware/mcs51/build.sh --out "$OUT"
