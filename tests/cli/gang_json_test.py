#!/usr/bin/env python3
"""qtxflash-cli --json read the way a bench script reads it: two boards at once,
one good and one silent; every stdout line must be a JSON object with the
documented fields and types, one per port.

usage: gang_json_test.py QTXSIM QTXFLASH_CLI
"""
import json
import os
import subprocess
import sys
import tempfile

sim_path, cli_path = sys.argv[1], sys.argv[2]
FIELDS = {"target": str, "port": str, "device": str, "file": str, "size": int, "crc32": str,
          "result": str, "step": (str, type(None)), "start": str, "duration_ms": int, "bytes_sent": int}

with tempfile.TemporaryDirectory(prefix="qtx-json-") as ports:
    env = dict(os.environ, QTXFLASH_PORTS=ports)
    boards = []
    for port, faults in (("COM1", []), ("COM2", ["--fault", "silent"])):
        b = subprocess.Popen([sim_path, "--board", "c167", "--port", port, "--once", "--ports-dir", ports,
                              "--flash-out", os.path.join(ports, port + ".bin")] + faults,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        b.stdout.readline()  # the ready line
        boards.append(b)
    image = os.path.join(ports, 'fw "\u00e4\\1.bin')  # a name that must be escaped in JSON
    with open(image, "wb") as f:
        f.write(bytes(range(256)) * 16)
    run = subprocess.run([cli_path, "-t", "C166/167", "-p", "COM1,COM2", "--json", image],
                         capture_output=True, text=True, env=env, timeout=120)
    for b in boards:
        b.terminate()
        b.wait()

    records = [json.loads(line) for line in run.stdout.splitlines()]
    assert run.returncode == 3, (run.returncode, run.stderr)
    assert sorted(r["port"] for r in records) == ["COM1", "COM2"], run.stdout
    for r in records:
        for name, kind in FIELDS.items():
            assert isinstance(r[name], kind), (name, r)
        assert r["size"] == 4096 and len(r["crc32"]) == 8, r
        assert r["target"] == "C166/167" and r["file"] == image, r
    by_port = {r["port"]: r for r in records}
    assert by_port["COM1"]["result"] == "ok" and by_port["COM1"]["step"] is None, by_port["COM1"]
    assert by_port["COM1"]["bytes_sent"] >= 4096, by_port["COM1"]
    assert by_port["COM2"]["result"] == "boot" and by_port["COM2"]["step"], by_port["COM2"]
print("ok")
