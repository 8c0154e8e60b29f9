#!/usr/bin/env python3
"""Turns the XE167 loader as it lies in memory into the bytes on the line.

The first stage (32 bytes, stored by the bootstrap loader) receives the rest
downwards and ends when the last byte received rewrites its exit instruction
(xe167.asm). So the line carries the first 32 bytes as they are, then the
memory from its top down to the exit, with the exit's condition turned from
cc_C (never taken after AND) to cc_UC.

Usage: xe167_wire.py MEM.bin WIRE.bin --exit OFFSET --size BYTES
"""
import argparse
import sys

JMPR_CC_C, JMPR_CC_UC = 0x8D, 0x0D   # JMPR cc, rel: condition in the high nibble


def wire(mem, exit_at, size):
    if mem[exit_at] != JMPR_CC_C:
        raise ValueError("no JMPR cc_C at offset %d (found %02X)" % (exit_at, mem[exit_at]))
    final = bytearray(mem)
    final[exit_at] = JMPR_CC_UC
    out = bytes(mem[:32]) + bytes(reversed(final[exit_at:]))
    if len(out) != size:
        raise ValueError("%d bytes on the line, %d wanted" % (len(out), size))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mem")
    ap.add_argument("out")
    ap.add_argument("--exit", type=int, required=True)
    ap.add_argument("--size", type=int, required=True)
    a = ap.parse_args()
    with open(a.mem, "rb") as f:
        mem = f.read()
    try:
        data = wire(mem, a.exit, a.size)
    except ValueError as e:
        sys.exit("xe167_wire.py: " + str(e))
    with open(a.out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
