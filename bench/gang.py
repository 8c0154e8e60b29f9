#!/usr/bin/env python3
"""Four boards at once against one alone: paced STM32F4 boards at 115200 8E1
with a 4 ms turnaround, 256 KiB each, flashed by one qtxflash-cli. Prints the
wall time of the gang run and of a single run, their ratio, and the CPU the
tool used. Not a test: the machines are shared and noisy, run it by hand.

Usage: bench/gang.py [--build DIR] [--boards N] [--size BYTES] [--latency-ms N] [--runs N]
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(build, boards, size, latency):
    with tempfile.TemporaryDirectory(prefix="qtx-gang-") as ports:
        env = dict(os.environ, QTXFLASH_PORTS=ports)
        sims = []
        for i in range(boards):
            sim = subprocess.Popen([os.path.join(build, "sim/qtxsim"), "--board", "stm32f4", "--port", f"COM{i + 1}",
                                    "--once", "--pace", "--latency-ms", str(latency), "--ports-dir", ports],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
            if " -> " not in sim.stdout.readline():
                sys.exit("a simulated board did not start")
            sims.append(sim)
        image = os.path.join(ports, "fw.bin")
        with open(image, "wb") as f:
            f.write(random.Random(size).randbytes(size))
        ports_arg = ",".join(f"COM{i + 1}" for i in range(boards))
        start = time.monotonic()
        cli = subprocess.Popen([os.path.join(build, "src/cli/qtxflash-cli"), "-q", "-t", "STM32F4", "-p", ports_arg,
                                image], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        _, status, usage = os.wait4(cli.pid, 0)
        wall = time.monotonic() - start
        err = cli.stderr.read()
        for sim in sims:
            sim.wait(timeout=60)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"the run failed:\n{err}")
        return wall, usage.ru_utime + usage.ru_stime


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--boards", type=int, default=4)
    ap.add_argument("--size", type=int, default=256 * 1024)
    ap.add_argument("--latency-ms", type=int, default=4)
    ap.add_argument("--runs", type=int, default=1)
    a = ap.parse_args()
    print(f"STM32F4, {a.size} bytes, paced at 115200, {a.latency_ms} ms turnaround")
    print(f"{'boards':>6} {'seconds':>9} {'cpu %':>7} {'ratio':>7}")
    for _ in range(a.runs):
        one, one_cpu = run(a.build, 1, a.size, a.latency_ms)
        gang, gang_cpu = run(a.build, a.boards, a.size, a.latency_ms)
        print(f"{1:>6} {one:9.2f} {100 * one_cpu / one:7.1f}")
        print(f"{a.boards:>6} {gang:9.2f} {100 * gang_cpu / gang:7.1f} {gang / one:7.3f}")


if __name__ == "__main__":
    main()
