#!/usr/bin/env python3
"""Instructions per second of host time for each emulated core.

Each target's board runs our real loader on its emulated core (C166 core for
the C16x family, the 8051 core for the C509, Unicorn for the ARM chips). An
unpaced run of a 65536-byte image keeps the core busy; the board logs how many
instructions it ran and how much host time the emulation took. A board keeps
up with a line while the loader's instructions per byte times the bytes per
second stay below this figure. Not a test: run it by hand on an idle machine.

Usage: bench/cores.py [--build DIR] [--size N] [BOARD ...]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EMULATOR = re.compile(r"emulator: (\d+) instructions in ([0-9.]+) s of host time")


def boards(build):
    out = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "--list-targets"], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    return {f[7]: (f[0], int(f[5])) for f in (line.split() for line in out[1:])}


def run(build, board, item, size):
    with tempfile.TemporaryDirectory(prefix="qtx-cores-") as tmp:
        ports = os.path.join(tmp, "ports")
        os.mkdir(ports)
        image = os.path.join(tmp, "fw.bin")
        with open(image, "wb") as f:
            f.write(bytes((i * 7 + (i >> 8)) & 0xFF for i in range(size)))
        env = dict(os.environ, QTXFLASH_PORTS=ports)
        log = open(os.path.join(tmp, "sim.log"), "w+")
        sim = subprocess.Popen([os.path.join(build, "sim/qtxsim"), "--board", board, "--port", "COM1", "--once",
                                "--erase-ms", "0", "--ports-dir", ports], stderr=log, stdout=subprocess.PIPE,
                               text=True, env=env)
        if " on COM1 -> " not in sim.stdout.readline():
            sim.kill()
            sys.exit(f"{board}: the simulated board did not start:\n{open(log.name).read()}")
        cli = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "-t", item, "-p", "COM1", image],
                             cwd=tmp, env=env, capture_output=True, text=True, timeout=600)
        try:
            sim.wait(timeout=30)
        except subprocess.TimeoutExpired:
            sim.kill()
        text = open(log.name).read()
        if cli.returncode != 0:
            sys.exit(f"{board}: run failed ({cli.returncode}):\n{cli.stderr}\n{text}")
        m = EMULATOR.search(text)
        return (int(m.group(1)), float(m.group(2))) if m else (0, 0.0)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--size", type=int, default=65536)
    p.add_argument("boards", nargs="*")
    a = p.parse_args()
    a.build = os.path.abspath(a.build)
    found = boards(a.build)
    print(f"{'board':10} {'instructions':>13} {'host s':>8} {'M/s':>7} {'per byte':>9}")
    for board in a.boards or list(found):
        item, max_bytes = found[board]
        size = min(a.size, max_bytes)
        if board == "xe167":
            size = min(size, 0xF000)   # the chip reserves C0'F000h-C0'FFFFh
        n, s = run(a.build, board, item, size)
        if n == 0:
            print(f"{board:10} (the ROM loader is modelled; no program of ours runs on a core)")
            continue
        print(f"{board:10} {n:13d} {s:8.3f} {n / s / 1e6:7.2f} {n / size:9.0f}", flush=True)


if __name__ == "__main__":
    main()
