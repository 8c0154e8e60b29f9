#!/usr/bin/env python3
"""Generates src/loaders/loader_*.cpp, the loader images the host carries.

Until the target-side loader programs are written, each image is a stand-in:
the exact size and layout the host and the simulated boards depend on, with
filler where the machine code will go. A stand-in does not run on a chip.

Usage: gen_loaders.py [OUTDIR] [--except NAME,...]   (default: src/loaders next to this script)
scripts/loaders.sh calls it for the images that no firmware/*/build.sh builds yet.
"""
import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loaderimg  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "..", "src", "loaders")
GENERATOR = "firmware/gen_loaders.py"


def filler(tag, n):
    """Deterministic bytes, so that regenerating changes nothing."""
    out = bytearray()
    counter = 0
    while len(out) < n:
        out += hashlib.sha256(f"{tag}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:n])


def c166_two_stage(tag, size, length_word=None):
    """C166 bootstrap image: JMPR cc_UC over a length word, a 32-byte first
    stage that receives the rest, then the rest of the image. The word tells
    the first stage where the image ends (its length by default)."""
    img = bytearray()
    img += bytes([0x0D, 0x01])                 # JMPR cc_UC, +1 word
    img += (size if length_word is None else length_word).to_bytes(2, "little")
    img += bytes([0xCC, 0x00]) * 14           # first stage: NOPs in the stand-in
    marker = f"QTXFLASH STAND-IN LOADER {tag}: not a program for a chip\0".encode()
    img += marker
    img += filler(tag, size - len(img))
    assert len(img) == size
    return bytes(img)


def c509_image(size):
    """C509 loader: a 32-byte header with the length in bytes 2 and 3, the
    code from offset 32 on (started at load address + 0x20)."""
    header = bytearray(32)
    header[2:4] = size.to_bytes(2, "little")
    marker = b"QTXFLASH STAND-IN LOADER c509: not a program for a chip\0"
    body = marker + filler("c509", size - 32 - len(marker))
    return bytes(header + body)


def arm_vectors(tag, size, load):
    """ARM7 image: the exception vector table (LDR PC,[PC,#0x18] eight times,
    then the eight handler addresses), then the code."""
    img = bytearray()
    img += (0xE59FF018).to_bytes(4, "little") * 8
    handler = load + 0x40
    img += b"".join((handler + 4 * i).to_bytes(4, "little") for i in range(8))
    marker = f"QTXFLASH STAND-IN LOADER {tag}: not a program for a chip\0".encode()
    img += marker
    img += filler(tag, size - len(img))
    return bytes(img)


def cortex_m(tag, size, load, stack_top):
    """Cortex-M image: initial stack pointer, entry address (Thumb bit set)
    inside the image, the rest of a short vector table, then the code."""
    assert size % 4 == 0
    img = bytearray()
    img += stack_top.to_bytes(4, "little")
    img += (load + 0x40 + 1).to_bytes(4, "little")
    img += bytes(0x40 - 8)
    marker = f"QTXFLASH STAND-IN LOADER {tag}: not a program for a chip\0".encode()
    img += marker
    img += filler(tag, size - len(img))
    return bytes(img)


XC164_LOAD = 0xE00004
XC164_SIZE = 1854

IMAGES = [
    # name, symbol, load address, builder
    ("c166", "kLoaderC166", 0xFA40, lambda: c166_two_stage("c166", 810)),
    ("c163", "kLoaderC163", 0xFA40, lambda: c166_two_stage("c163", 702)),
    # The XC16x first stage counts to the last byte's offset in its 64 KiB page.
    ("xc164", "kLoaderXC164", XC164_LOAD,
     lambda: c166_two_stage("xc164", XC164_SIZE, (XC164_LOAD + XC164_SIZE - 1) & 0xFFFF)),
    ("c509", "kLoaderC509", 0xF400, lambda: c509_image(466)),
    ("gp4020", "kLoaderGP4020", 0x0, lambda: arm_vectors("gp4020", 2012, 0x0)),
    ("xe167", "kLoaderXE167", 0xE00000, lambda: c166_two_stage("xe167", 2074)),
    ("sam3u", "kLoaderSam3u", 0x20001000, lambda: cortex_m("sam3u", 3252, 0x20001000, 0x20008000)),
    ("sam3s", "kLoaderSam3s", 0x20001000, lambda: cortex_m("sam3s", 2532, 0x20001000, 0x20004000)),
    ("stm32f4", "kLoaderStm32f4", 0x2001D000, lambda: cortex_m("stm32f4", 7092, 0x2001D000, 0x20020000)),
]


def emit(name, symbol, address, data):
    digest = hashlib.sha256(data).hexdigest()
    return loaderimg.render(name, symbol, address, data, True,
                            f"stand-in from {GENERATOR}, sha256 {digest}", GENERATOR)


def main():
    args = sys.argv[1:]
    # --except NAME,...: images that are built from source now (scripts/loaders.sh).
    built = set()
    if "--except" in args:
        i = args.index("--except")
        built = set(filter(None, args[i + 1].split(",")))
        del args[i:i + 2]
    out = args[0] if args else DEFAULT_OUT
    os.makedirs(out, exist_ok=True)
    for name, symbol, address, build in IMAGES:
        if name in built:
            continue
        path = os.path.join(out, f"loader_{name}.cpp")
        with open(path, "w", encoding="ascii") as f:
            f.write(emit(name, symbol, address, build()))


if __name__ == "__main__":
    main()
