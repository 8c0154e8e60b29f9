#!/usr/bin/env bash
# Builds the GP4020 loader (ARM7TDMI, ARM state) with arm-none-eabi-gcc and
# writes OUTDIR/loader_gp4020.cpp through firmware/loaderimg.py.
# Deterministic: no debug info, no build id, no paths in the output.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
OUT=${1:?usage: build.sh OUTDIR}
mkdir -p "$OUT"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

CC=arm-none-eabi-gcc
OBJCOPY=arm-none-eabi-objcopy
CFLAGS=(-marm -mcpu=arm7tdmi -Os -std=c11 -ffreestanding -nostdlib -fno-common -ffunction-sections -fdata-sections
        -Wall -Wextra -Werror -fno-asynchronous-unwind-tables -fno-ident)
LDFLAGS=(-Wl,--gc-sections -Wl,--build-id=none -lgcc)
GCC_VERSION=$($CC -dumpfullversion)
SOURCES=(start.S loader.c)

(cd "$HERE" && $CC "${CFLAGS[@]}" -T loader.ld -o "$WORK/gp4020.elf" "${SOURCES[@]}" "${LDFLAGS[@]}")
$OBJCOPY -O binary "$WORK/gp4020.elf" "$WORK/gp4020.bin"
hash=$(cd "$HERE" && cat "${SOURCES[@]}" gp4020.h board.h loader.ld | sha256sum | cut -c1-64)
python3 "$ROOT/firmware/loaderimg.py" --name gp4020 --symbol kLoaderGP4020 --address 0x0 --size 2012 \
  --bin "$WORK/gp4020.bin" \
  --provenance "firmware/arm7 sources sha256 $hash, arm-none-eabi-gcc $GCC_VERSION -marm -mcpu=arm7tdmi -Os" \
  --generator firmware/arm7/build.sh --out "$OUT"
echo "arm7: gp4020 $(stat -c %s "$WORK/gp4020.bin") of 2012 bytes" >&2
