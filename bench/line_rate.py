#!/usr/bin/env python3
"""Whole paced runs per target against their protocol-bound minimum.

Each run flashes an image with qtxflash-cli into a simulated board that takes
bytes at the line's rate and framing and answers after a USB adapter's
turnaround (--latency-ms). The board reports what the session cost on the
line: the character times of every byte both ways and how often it answered.
The minimum of a run is that line time (the board's bytes where the host waits
for them), plus one turnaround per awaited answer, plus the pauses the
protocol prescribes for the target (the tool names them in its last line); the ratio of the measured
run to it shows what the host adds. Not a test: the machines are shared and
noisy, so run it by hand.

Usage: bench/line_rate.py [--build DIR] [--latency-ms N] [--runs N] [BOARD ...]
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

def targets(build):
    """board: (list item, image size, two-bank image), for every target the CLI lists.

    The image is the largest of 120001 bytes and the target's flash; SAM3U
    takes a two-bank image and STM32F4 its whole megabyte."""
    out = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "--list-targets"], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    found = {}
    for line in out[1:]:
        f = line.split()
        item, max_bytes, board = f[0], int(f[5]), f[7]
        size = min(120001, max_bytes)
        if board == "sam3u":
            size = 0x80000 + 0x10001
        elif board == "stm32f4":
            size = max_bytes
        found[board] = (item, size, board == "sam3u")
    return found


TARGETS = {}

# The tool's last line names the pauses its protocol prescribed.
PAUSES = re.compile(r"(\d+) ms of it the protocol's pauses")
LINE = re.compile(r"line: host sent (\d+) bytes in ([0-9.]+) s of line time, board (\d+) bytes \(([0-9.]+) s awaited\), "
                  r"(\d+) turnarounds")


def run_once(build, board, latency):
    item, size, _ = TARGETS[board]
    with tempfile.TemporaryDirectory(prefix="qtx-bench-") as tmp:
        ports = os.path.join(tmp, "ports")
        os.mkdir(ports)
        image = os.path.join(tmp, "fw.bin")
        rnd = random.Random(size)
        data = bytearray(rnd.getrandbits(8) for _ in range(size))
        if TARGETS[board][2]:
            data[0x20000:0x80000] = b"\xff" * 0x60000  # a two-bank file holds nothing where the chip has no flash
        if board == "xe167":
            data[0xF000:0x10000] = b"\xff" * 0x1000  # the chip reserves C0'F000h-C0'FFFFh
        with open(image, "wb") as f:
            f.write(data)
        env = dict(os.environ, QTXFLASH_PORTS=ports)
        log = open(os.path.join(tmp, "sim.log"), "w+")
        sim = subprocess.Popen([os.path.join(build, "sim/qtxsim"), "--board", board, "--port", "COM1", "--once",
                                "--pace", "--latency-ms", str(latency), "--erase-ms", "0",
                                "--ports-dir", ports], stderr=log, stdout=subprocess.PIPE, text=True, env=env)
        if " on COM1 -> " not in sim.stdout.readline():
            sim.kill()
            sys.exit(f"{board}: the simulated board did not start:\n{open(log.name).read()}")
        start = time.monotonic()
        cli = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "-t", item, "-p", "COM1", image],
                             cwd=tmp, env=env, capture_output=True, text=True, timeout=900)
        elapsed = time.monotonic() - start
        try:
            sim.wait(timeout=30)
        except subprocess.TimeoutExpired:
            sim.kill()
        text = open(log.name).read()
        if cli.returncode != 0:
            sys.exit(f"{board}: run failed ({cli.returncode}):\n{cli.stderr}\n{text}")
        m = LINE.search(text)
        if not m:
            sys.exit(f"{board}: the board reported no line figures:\n{text}")
        p = PAUSES.search(cli.stderr)
        if not p:
            sys.exit(f"{board}: the tool named no pauses:\n{cli.stderr}")
        pauses_ms = int(p.group(1))
        host_s, board_s, turns = float(m.group(2)), float(m.group(4)), int(m.group(5))
        minimum = host_s + board_s + turns * latency / 1000.0 + pauses_ms / 1000.0
        return elapsed, minimum, host_s, board_s, turns


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--latency-ms", type=int, default=16)
    p.add_argument("--runs", type=int, default=1)
    p.add_argument("boards", nargs="*")
    a = p.parse_args()
    a.build = os.path.abspath(a.build)
    TARGETS.update(targets(a.build))
    a.boards = a.boards or list(TARGETS)
    print(f"{'board':10} {'bytes':>8} {'run s':>8} {'min s':>8} {'ratio':>6}  (line host+board s, turnarounds)")
    for board in a.boards:
        for _ in range(a.runs):
            elapsed, minimum, host_s, board_s, turns = run_once(a.build, board, a.latency_ms)
            print(f"{board:10} {TARGETS[board][1]:8d} {elapsed:8.2f} {minimum:8.2f} {elapsed / minimum:6.3f}"
                  f"  ({host_s:.2f}+{board_s:.2f}, {turns})", flush=True)


if __name__ == "__main__":
    main()
