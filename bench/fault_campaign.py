#!/usr/bin/env python3
"""A fault campaign: many runs of qtxflash-cli into simulated boards, each with
one fault injected on the line or in the board, counting the outcomes that
must never happen:

  false success  the tool exited 0 but the board's flash is not the image
  hang           the tool did not end within the time limit
  crash          the tool or the board ended by a signal

Every board first takes one clean run, which also tells how many bytes a run
sends; the faults then land at random places of such a run (loader, erase,
size, data, content check, finish), or at random flash addresses. Not a test:
it takes tens of minutes, so run it by hand.

Usage: bench/fault_campaign.py [--build DIR] [--runs N] [--jobs N] [--seed N] [BOARD ...]
"""
import argparse
import collections
import concurrent.futures
import os
import random
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# board: (list item, erased value), for every target the CLI lists.
BOARDS = {}


def list_boards(build):
    out = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "--list-targets"], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    return {f[7]: (f[0], int(f[6], 16)) for f in (line.split() for line in out[1:])}
IMAGE_SIZE = 3001
TIME_LIMIT_S = 240
CLOSED = re.compile(r"host closed COM1 after (\d+) bytes")


def run(build, board, image, fault):
    """One run; returns (cli status or None on a hang, board status, flash bytes, board log)."""
    with tempfile.TemporaryDirectory(prefix="qtx-campaign-") as tmp:
        ports = os.path.join(tmp, "ports")
        os.mkdir(ports)
        path = os.path.join(tmp, "fw.bin")
        flash_out = os.path.join(tmp, "flash.bin")
        with open(path, "wb") as f:
            f.write(image)
        env = dict(os.environ, QTXFLASH_PORTS=ports)
        log_path = os.path.join(tmp, "sim.log")
        args = [os.path.join(build, "sim/qtxsim"), "--board", board, "--port", "COM1", "--once",
                "--ports-dir", ports, "--flash-out", flash_out]
        if fault:
            args += ["--fault", fault]
        with open(log_path, "w") as log:
            sim = subprocess.Popen(args, stderr=log, stdout=subprocess.PIPE, text=True, env=env)
            if " on COM1 -> " not in sim.stdout.readline():
                sim.kill()
                return None, sim.wait(), b"", open(log_path).read()
            try:
                cli = subprocess.run([os.path.join(build, "src/cli/qtxflash-cli"), "-t", BOARDS[board][0], "-p",
                                      "COM1", path], cwd=tmp, env=env, capture_output=True, timeout=TIME_LIMIT_S)
                status = cli.returncode
            except subprocess.TimeoutExpired:
                status = None
            try:
                board_status = sim.wait(timeout=30)
            except subprocess.TimeoutExpired:
                sim.terminate()
                board_status = sim.wait()
        flash = open(flash_out, "rb").read() if os.path.exists(flash_out) else b""
        return status, board_status, flash, open(log_path).read()


def holds(flash, image, board):
    """The image at offset 0 and nothing else programmed (the pad cell after an odd image may be either)."""
    erased = BOARDS[board][1]
    if len(flash) < len(image) or flash[:len(image)] != image:
        return False
    rest = bytearray(flash[len(image):])
    if len(image) % 2 and rest:
        rest[0] = erased
    return rest.count(erased) == len(rest)


def faults_for(board, total, rnd, n):
    """n faults for board, whose clean run sends total bytes."""
    out = []
    for _ in range(n):
        kind = rnd.choices(["corrupt", "drop", "bad-ack", "unplug", "verify", "other"],
                           weights=[40, 25, 12, 10, 10, 3])[0]
        if kind == "verify":
            out.append(f"verify-error@{rnd.randrange(IMAGE_SIZE)}")
        elif kind == "other":
            extra = ["no-echo", "bad-echo"] if board == "c509" else []
            out.append(rnd.choice(["silent", "bad-id"] + extra))
        else:
            out.append(f"{kind}@{rnd.randrange(total)}")
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--runs", type=int, default=1000, help="fault runs in all, spread over the boards")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("boards", nargs="*")
    a = p.parse_args()
    a.build = os.path.abspath(a.build)
    rnd = random.Random(a.seed)
    image = bytes(rnd.getrandbits(8) for _ in range(IMAGE_SIZE))

    plan = []
    per_board = -(-a.runs // len(a.boards))
    for board in a.boards:
        status, _, flash, log = run(a.build, board, image, None)
        m = CLOSED.search(log)
        if status != 0 or not holds(flash, image, board) or not m:
            sys.exit(f"{board}: the clean run failed (status {status}):\n{log}")
        plan += [(board, f) for f in faults_for(board, int(m.group(1)), rnd, per_board)]

    counts = collections.Counter()
    bad = []
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        futures = {pool.submit(run, a.build, board, image, fault): (board, fault) for board, fault in plan}
        for i, done in enumerate(concurrent.futures.as_completed(futures), 1):
            board, fault = futures[done]
            status, board_status, flash, log = done.result()
            if status is None:
                verdict = "hang"
            elif status < 0 or (board_status is not None and board_status < 0):
                verdict = "crash"
            elif status == 0:
                verdict = "success" if holds(flash, image, board) else "false success"
            else:
                verdict = f"failed (exit {status})"
            counts[verdict] += 1
            if verdict in ("hang", "crash", "false success"):
                bad.append((board, fault, verdict, log[-2000:]))
                print(f"{verdict}: {board} --fault {fault}", flush=True)
            if i % 100 == 0:
                print(f"{i} runs: " + ", ".join(f"{k} {v}" for k, v in sorted(counts.items())), flush=True)

    print(f"\n{len(plan)} fault runs over {len(a.boards)} boards (seed {a.seed}):")
    for k, v in sorted(counts.items()):
        print(f"  {k:20} {v}")
    print(f"false successes {counts['false success']}, hangs {counts['hang']}, crashes {counts['crash']}")
    for board, fault, verdict, log in bad:
        print(f"\n--- {verdict}: {board} --fault {fault}\n{log}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
