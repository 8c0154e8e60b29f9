#!/usr/bin/env python3
"""Fast data against the port's rate: whole paced runs per target, plain and with --fast.

Each run flashes an image with qtxflash-cli into a simulated board that takes
the bytes at the line's rate (--pace) behind a USB adapter's turnaround
(--latency-ms, 4 by default), at the target's default port rate. STM32F4
takes its whole megabyte, the SAM3 boards one 128 KiB bank, the others 120001
bytes (a plain run of a whole C16x or GP4020 flash would take minutes). The
boards' erase and program times are their flash models' (STM32F4: DS8626
typical sector erase, 8.55 s for the whole flash; C16x: an 11 s chip erase).
Not a test: the machines are shared and noisy, so run it by hand, idle.

Usage: bench/fast_data.py [--build DIR] [--latency-ms N] [--fast BAUD] [BOARD ...]
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGETS = {"stm32f4": ("STM32F4", 1 << 20), "sam3u": ("SAM3U", 0x20000), "sam3s": ("SAM3S", 0x20000),
           "xe167": ("XE167", 120001), "gp4020": ("GP4020", 120001), "c167": ("C166/167", 120001),
           "c163": ("C163", 120001)}


def image(board, size):
    data = bytearray(random.Random(7).randbytes(size))
    if board == "xe167":
        data[0xF000:0x10000] = bytes(0x1000)  # the reserved range takes no data
    return bytes(data)


def run(build, board, fast, latency):
    item, size = TARGETS[board]
    with tempfile.TemporaryDirectory(prefix="qtx-fast-") as d:
        fw = os.path.join(d, "fw.bin")
        with open(fw, "wb") as f:
            f.write(image(board, size))
        env = dict(os.environ, QTXFLASH_PORTS=d)
        sim = subprocess.Popen([os.path.join(build, "sim/qtxsim"), "--board", board, "--port", "COM1", "--once",
                                "--ports-dir", d, "--pace", "--latency-ms", str(latency)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        sim.stdout.readline()  # ready
        args = [os.path.join(build, "src/cli/qtxflash-cli"), "-t", item, "-p", "COM1", "-q", fw]
        if fast:
            args.insert(-1, "--fast" if fast == "max" else "--fast=" + fast)
        start = time.monotonic()
        cli = subprocess.run(args, capture_output=True, text=True, env=env)
        seconds = time.monotonic() - start
        log = sim.communicate(timeout=60)[0]
        if cli.returncode != 0:
            sys.exit(f"{board}: qtxflash-cli exit {cli.returncode}\n{cli.stderr}\n{log}")
        rate = next((l.split("data at ")[1] for l in cli.stderr.splitlines() if "data at " in l), "port rate")
        return seconds, rate


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--latency-ms", type=int, default=4)
    p.add_argument("--fast", default="max", help="BAUD for --fast=BAUD (default: the fastest offered)")
    p.add_argument("boards", nargs="*", default=list(TARGETS))
    a = p.parse_args()
    print(f"{'target':8} {'bytes':>8} {'plain s':>8} {'fast s':>8} {'speed-up':>8}  data rate")
    for board in a.boards:
        plain, _ = run(a.build, board, None, a.latency_ms)
        fast, rate = run(a.build, board, a.fast, a.latency_ms)
        print(f"{board:8} {TARGETS[board][1]:8} {plain:8.1f} {fast:8.1f} {plain / fast:8.2f}  {rate}", flush=True)


if __name__ == "__main__":
    main()
