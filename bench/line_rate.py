#!/usr/bin/env python3
"""Whole paced runs per target against the physical bound of the same run.

Each run flashes an image with qtxflash-cli into a simulated board that takes
bytes at the line's rate and framing and answers after a USB adapter's
turnaround (--latency-ms). The tool writes a wire trace (--trace): every burst
of bytes with its time, the line's settings, and every pause the protocol
prescribes. From it the bench takes what no host could have shortened:

- the host's bytes on the line, each at its character time, back to back from
  when they were written;
- every wait for the board: from the line going idle to the end of the
  board's answer (its turnaround, its flash busy time and its own work);
- the prescribed pauses, where they do not overlap the above.

The union of these intervals is the bound; whatever else the run took is the
host's: start-up, port handling, its own waits and its slowness. The excess is
printed per phase, the phases as the tool announces them ("ERASE: running").
Not a test: the machines are shared and noisy, so run it by hand.

Usage: bench/line_rate.py [--build DIR] [--latency-ms N] [--runs N] [--size N] [BOARD ...]
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def targets(build, size):
    """board: (list item, image size, two-bank image), for every target the CLI lists.

    Without --size the image is the largest of 120001 bytes and the target's
    flash; SAM3U takes a two-bank image and STM32F4 its whole megabyte."""
    out = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "--list-targets"], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    found = {}
    for line in out[1:]:
        f = line.split()
        item, max_bytes, board = f[0], int(f[5]), f[7]
        n = min(size or 120001, max_bytes)
        two_banks = False
        if not size and board == "sam3u":
            n, two_banks = 0x80000 + 0x10001, True
        elif not size and board == "stm32f4":
            n = max_bytes
        found[board] = (item, n, two_banks)
    return found


TARGETS = {}
PHASE = re.compile(r"^(\w+): running$")


def char_seconds(settings):
    """Seconds per character for a trace LINE such as '115200 8E1'."""
    baud, frame = settings.split()[:2]
    bits = 1 + int(frame[0]) + (0 if frame[1] == "N" else 1) + int(frame[2])
    return bits / int(baud)


def explained(trace_path):
    """The intervals (start, end) in seconds on the monotonic clock that the line,
    the board and the prescribed pauses account for."""
    spans = []
    char = None
    line_free = 0.0   # when the host's last byte leaves the line
    for raw in open(trace_path):
        f = raw.split()
        if not f or f[0] == "#":
            continue
        t, kind = int(f[0]) / 1e6, f[1]
        if kind == "LINE":
            char = char_seconds(" ".join(f[2:4]))
        elif kind == "PAUSE":
            spans.append((t, t + int(f[2]) / 1000.0))
        elif kind == "TX":
            start = max(t, line_free)
            line_free = start + (len(f) - 2) * char
            spans.append((start, line_free))
        elif kind == "RX":
            # Waiting for the board from the line going idle to its answer's end.
            end = t + (len(f) - 2) * char
            if end > line_free:
                spans.append((line_free, end))
    return spans


def covered(spans, lo, hi):
    """Length of the union of spans within [lo, hi]."""
    total, reach = 0.0, lo
    for a, b in sorted(spans):
        a, b = max(a, reach), min(b, hi)
        if b > a:
            total += b - a
            reach = b
    return total


def run_once(build, board, latency):
    item, size, two_banks = TARGETS[board]
    with tempfile.TemporaryDirectory(prefix="qtx-bench-") as tmp:
        ports = os.path.join(tmp, "ports")
        os.mkdir(ports)
        image = os.path.join(tmp, "fw.bin")
        rnd = random.Random(size)
        data = bytearray(rnd.getrandbits(8) for _ in range(size))
        if two_banks:
            data[0x20000:0x80000] = b"\xff" * 0x60000  # a two-bank file holds nothing where the chip has no flash
        if board == "xe167" and size > 0xF000:
            data[0xF000:min(size, 0x10000)] = b"\xff" * (min(size, 0x10000) - 0xF000)  # reserved C0'F000h-C0'FFFFh
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
        trace = os.path.join(tmp, "trace")
        marks, err = [], []
        start = time.monotonic()
        cli = subprocess.Popen([os.path.join(build, "src/cli/qtxflash-cli"), "-t", item, "-p", "COM1", "--trace",
                                trace, image], cwd=tmp, env=env, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                               text=True)

        def read():
            for line in cli.stderr:
                err.append(line)
                m = PHASE.match(line.strip())
                if m:
                    marks.append((m.group(1), time.monotonic()))
                elif line.startswith("Programming ok."):
                    marks.append(("end", time.monotonic()))
        reader = threading.Thread(target=read)
        reader.start()
        status = cli.wait(timeout=900)
        elapsed = time.monotonic() - start
        reader.join()
        try:
            sim.wait(timeout=30)
        except subprocess.TimeoutExpired:
            sim.kill()
        if status != 0:
            sys.exit(f"{board}: run failed ({status}):\n{''.join(err)}\n{open(log.name).read()}")
        spans = explained(trace)
        bounds = [("start", start)] + marks + [("exit", start + elapsed)]
        phases = []
        for (name, lo), (_, hi) in zip(bounds, bounds[1:]):
            phases.append((name, hi - lo, hi - lo - covered(spans, lo, hi)))
        bound = covered(spans, start, start + elapsed)
        return elapsed, bound, phases


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--latency-ms", type=int, default=4)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--size", type=int, default=0, help="image bytes (default: the target's large image)")
    p.add_argument("boards", nargs="*")
    a = p.parse_args()
    a.build = os.path.abspath(a.build)
    TARGETS.update(targets(a.build, a.size))
    a.boards = a.boards or list(TARGETS)
    print(f"{'board':10} {'bytes':>8} {'run s':>8} {'bound s':>8} {'ratio':>6}  excess per phase, ms (median run)")
    for board in a.boards:
        results = sorted((run_once(a.build, board, a.latency_ms) for _ in range(a.runs)), key=lambda r: r[0] / r[1])
        elapsed, bound, phases = results[len(results) // 2]
        ratios = " ".join(f"{r[0] / r[1]:.3f}" for r in results)
        excess = " ".join(f"{name}+{ex * 1000:.0f}" for name, _, ex in phases)
        print(f"{board:10} {TARGETS[board][1]:8d} {elapsed:8.2f} {bound:8.2f} {elapsed / bound:6.3f}  {excess}"
              f"  (ratios {ratios})", flush=True)


if __name__ == "__main__":
    main()
