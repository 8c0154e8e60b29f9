#!/usr/bin/env bash
# Builds the Cortex-M preloaders (STM32F4, SAM3U, SAM3S) with arm-none-eabi-gcc
# and writes OUTDIR/loader_{stm32f4,sam3u,sam3s}.cpp through firmware/loaderimg.py.
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
CFLAGS=(-mthumb -Os -std=c11 -ffreestanding -nostdlib -fno-common -ffunction-sections -fdata-sections
        -Wall -Wextra -Werror -fno-asynchronous-unwind-tables -fno-ident)
LDFLAGS=(-Wl,--gc-sections -Wl,--build-id=none -L"$HERE" -lgcc)
GCC_VERSION=$($CC -dumpfullversion)

# name cpu load-address size chip-sources
build() {
  local name=$1 cpu=$2 address=$3 size=$4
  shift 4
  local sources=(start.c loader.c "$@")
  (cd "$HERE" && $CC "${CFLAGS[@]}" -mcpu="$cpu" -T "$name.ld" -o "$WORK/$name.elf" "${sources[@]}" "${LDFLAGS[@]}")
  $OBJCOPY -O binary "$WORK/$name.elf" "$WORK/$name.bin"
  local hash
  hash=$(cd "$HERE" && cat "${sources[@]}" chip.h sections.ld "$name.ld" $( [ "$name" = stm32f4 ] || echo sam3.h ) \
         | sha256sum | cut -c1-64)
  local symbol
  case $name in
    stm32f4) symbol=kLoaderStm32f4 ;;
    sam3u) symbol=kLoaderSam3u ;;
    sam3s) symbol=kLoaderSam3s ;;
  esac
  python3 "$ROOT/firmware/loaderimg.py" --name "$name" --symbol "$symbol" --address "$address" --size "$size" \
    --bin "$WORK/$name.bin" \
    --provenance "firmware/cortexm sources sha256 $hash, arm-none-eabi-gcc $GCC_VERSION -mcpu=$cpu -Os" \
    --generator firmware/cortexm/build.sh --out "$OUT"
  echo "cortexm: $name $(stat -c %s "$WORK/$name.bin") of $size bytes" >&2
}

build stm32f4 cortex-m4 0x2001D000 7092 stm32f4.c
build sam3u cortex-m3 0x20001000 3252 sam3.c sam3u.c
build sam3s cortex-m3 0x20001000 2532 sam3.c sam3s.c
