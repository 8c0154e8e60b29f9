#!/usr/bin/env bash
# Builds the Cortex-M preloaders, one per chip file, with arm-none-eabi-gcc and
# writes OUTDIR/loader_NAME.cpp for each through firmware/loaderimg.py.
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

# One image per chip: every NAME.ld here but sections.ld is a chip, and its
# first line says how to build it:
#   /* image: cpu CPU, size BYTES, sources FILE..., headers FILE... */
# (headers optional). The load address is the ORIGIN of its RAM. The image is
# padded to BYTES, so that a chip's size stays put as its code changes.
build() {
  local name=$1 spec cpu size address sources=() headers=()
  spec=$(head -1 "$HERE/$name.ld")
  [[ $spec =~ cpu\ ([a-z0-9-]+) ]] || { echo "cortexm: $name.ld names no cpu" >&2; exit 1; }
  cpu=${BASH_REMATCH[1]}
  [[ $spec =~ size\ ([0-9]+) ]] || { echo "cortexm: $name.ld names no size" >&2; exit 1; }
  size=${BASH_REMATCH[1]}
  [[ $spec =~ sources\ ([a-z0-9_.\ ]+) ]] || { echo "cortexm: $name.ld names no sources" >&2; exit 1; }
  read -r -a sources <<<"${BASH_REMATCH[1]}"
  if [[ $spec =~ headers\ ([a-z0-9_.\ ]+) ]]; then read -r -a headers <<<"${BASH_REMATCH[1]}"; fi
  address=$(sed -n 's/.*ORIGIN = \(0x[0-9A-Fa-f]*\).*/\1/p' "$HERE/$name.ld" | head -1)
  [ -n "$address" ] || { echo "cortexm: $name.ld has no RAM ORIGIN" >&2; exit 1; }
  sources=(start.c loader.c "${sources[@]}")
  # A chip built with fast.c takes the rate-change command.
  local defines=()
  [[ " ${sources[*]} " == *" fast.c "* ]] && defines=(-DQTX_FAST_DATA)
  (cd "$HERE" && $CC "${CFLAGS[@]}" "${defines[@]}" -mcpu="$cpu" -T "$name.ld" -o "$WORK/$name.elf" "${sources[@]}" "${LDFLAGS[@]}")
  $OBJCOPY -O binary "$WORK/$name.elf" "$WORK/$name.bin"
  local hash
  hash=$(cd "$HERE" && cat "${sources[@]}" chip.h sections.ld "$name.ld" "${headers[@]}" | sha256sum | cut -c1-64)
  python3 "$ROOT/firmware/loaderimg.py" --name "$name" --symbol "kLoader${name^}" --address "$address" --size "$size" \
    --bin "$WORK/$name.bin" \
    --provenance "firmware/cortexm sources sha256 $hash, arm-none-eabi-gcc $GCC_VERSION -mcpu=$cpu -Os" \
    --generator firmware/cortexm/build.sh --out "$OUT"
  echo "cortexm: $name $(stat -c %s "$WORK/$name.bin") of $size bytes" >&2
}

for ld in "$HERE"/*.ld; do
  name=$(basename "$ld" .ld)
  [ "$name" = sections ] || build "$name"
done
