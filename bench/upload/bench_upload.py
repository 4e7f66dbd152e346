#!/usr/bin/python3
"""One archive at the upload limit (50 MiB) PUT to the local nginx back end over HTTPS: the tool's
upload (upload_tool.exe under Wine: the built-in endpoint and credentials, 256 KiB writes, a log line
per chunk) against curl -T with the same credentials and CA, in the same run, three times each,
interleaved. Prints the medians of the elapsed times, the throughput and the ratio; the start of an
empty Wine process is measured too, since it is part of every run of the tool. Both sides' uploads
must arrive whole.

    bench/upload/bench_upload.py [build dir]   (default: $VONDREL_BUILD or build/; needs target
                                                vondrel_upload_tool; binds 127.0.0.1:443)
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
from benchlib import warm_up, wine_env, winpath  # noqa: E402
BUILD = Path(sys.argv[1] if len(sys.argv) > 1 else os.environ.get("VONDREL_BUILD", ROOT / "build")).resolve()
sys.path.insert(0, str(ROOT / "tests"))
os.environ.setdefault("VONDREL_SOURCE_DIR", str(ROOT))

from servers.nginx import NginxBackend  # noqa: E402
from upload_settings import settings  # noqa: E402

TOOL = BUILD / "tools" / "upload_tool.exe"
SETTINGS = settings(BUILD)
CA = ROOT / "tests" / "pki" / "ca.pem"
SIZE = 52428800
RUNS = 3


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, capture_output=True, **kwargs)
    return time.perf_counter() - start


def ours(archive):
    return timed(["wine", str(TOOL), winpath(archive)], env=wine_env())


def curl(archive, name):
    return timed(["curl", "-sS", "-f", "--cacert", str(CA), "-u", f"{SETTINGS['user']}:{SETTINGS['password']}",
                  "-T", str(archive), f"{SETTINGS['endpoint']}%5C{name}"])


def empty_wine():
    return timed(["wine", "cmd", "/c", "exit"], env=wine_env())


def main():
    warm_up()
    empty_wine()
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        times = {"tool": [], "curl": [], "wine": []}
        with NginxBackend(work / "received", SETTINGS["user"], SETTINGS["password"]) as backend:
            for run in range(RUNS):
                for side in ("tool", "curl"):
                    name = f"vdrel_{side}_{run}.zip"
                    archive = work / name
                    archive.write_bytes(os.urandom(SIZE))
                    times[side].append(ours(archive) if side == "tool" else curl(archive, name))
                    received = backend.received().get("ostrel\\" + name)
                    assert received == archive.read_bytes(), f"{side} run {run}: the back end did not get it whole"
                    archive.unlink()
                times["wine"].append(empty_wine())
    tool, peer, wine = (statistics.median(times[k]) for k in ("tool", "curl", "wine"))
    mib = SIZE / (1 << 20)
    print(f"archive: {SIZE} bytes, {RUNS} runs each, medians")
    print(f"upload_tool.exe under Wine: {tool:.3f} s  ({mib / tool:.1f} MiB/s)")
    print(f"curl -T:                    {peer:.3f} s  ({mib / peer:.1f} MiB/s)")
    print(f"empty Wine process:         {wine:.3f} s")
    print(f"ratio tool / curl: {tool / peer:.2f}; without Wine's start-up: {(tool - wine) / peer:.2f}")


if __name__ == "__main__":
    main()
