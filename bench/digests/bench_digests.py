#!/usr/bin/python3
"""MD5 and SHA-256 of one 256 MiB file: the tool's ComputeFileDigests (digest_tool.exe under Wine, one
pass feeding both digests from large read blocks) against coreutils md5sum followed by sha256sum over
the same file, in the same run, three times each, interleaved. Prints the medians of the elapsed and
of the processor times with the throughput, their ratios, and which SHA-256 transform the tool ran
(the processor's SHA extensions where cpuid reports them, else the portable code). For the tool both
are those of the ComputeFileDigests call itself, without Wine's start-up. The machine is shared, so the
processor times are the steadier figures. The digests of both sides must agree.

    bench/digests/bench_digests.py [build dir]   (default: $VONDREL_BUILD or build/; needs target digest_tool,
                                                  built with CMAKE_BUILD_TYPE=Release)
"""
import os
import resource
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
TOOL = BUILD / "tools" / "digest_tool.exe"
SIZE = 256 * 1024 * 1024
RUNS = 3


def make_file(path):
    with open(path, "wb") as f:
        for _ in range(SIZE // (1 << 20)):
            f.write(os.urandom(1 << 20))


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, **kwargs):
    """Elapsed seconds, processor seconds of the child, and its output."""
    cpu = children_cpu()
    start = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True, check=True, stdin=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - start, children_cpu() - cpu, result.stdout


def ours(path):
    _, _, out = timed(["wine", str(TOOL), winpath(path)], env=wine_env())
    md5, sha256, elapsed, cpu, path = out.split(maxsplit=4)
    return float(elapsed), float(cpu), md5, sha256, path.strip()


def coreutils(path):
    md5_time, md5_cpu, md5_out = timed(["md5sum", str(path)])
    sha_time, sha_cpu, sha_out = timed(["sha256sum", str(path)])
    return md5_time + sha_time, md5_cpu + sha_cpu, md5_out.split()[0], sha_out.split()[0]


def mib_per_second(seconds):
    return SIZE / (1 << 20) / seconds


def main():
    if not TOOL.exists():
        sys.exit(f"{TOOL} is missing: build the target digest_tool (Release) first")
    warm_up()
    with tempfile.TemporaryDirectory(prefix="vondrel-bench-digests-") as folder:
        path = Path(folder) / "sample.bin"
        make_file(path)
        ours(path)  # warm-up: Wine's start-up and the page cache
        coreutils(path)
        figures = {"tool": [], "tool cpu": [], "peer": [], "peer cpu": []}
        for _ in range(RUNS):
            elapsed, cpu, md5, sha256, sha256_path = ours(path)
            peer, peer_cpu, peer_md5, peer_sha256 = coreutils(path)
            if (md5, sha256) != (peer_md5, peer_sha256):
                sys.exit(f"digests differ: {md5} {sha256} against {peer_md5} {peer_sha256}")
            for key, value in (("tool", elapsed), ("tool cpu", cpu), ("peer", peer), ("peer cpu", peer_cpu)):
                figures[key].append(value)
    tool, tool_cpu, peer, peer_cpu = (statistics.median(figures[k]) for k in ("tool", "tool cpu", "peer", "peer cpu"))
    print(f"file: {SIZE >> 20} MiB, {RUNS} runs each, medians; the tool's SHA-256 ran on: {sha256_path}")
    print(f"ComputeFileDigests (MD5+SHA-256, one pass): {tool:7.3f} s elapsed ({mib_per_second(tool):6.1f} MiB/s)"
          f"  {tool_cpu:7.3f} s processor ({mib_per_second(tool_cpu):6.1f} MiB/s)")
    print(f"md5sum + sha256sum (two passes):            {peer:7.3f} s elapsed ({mib_per_second(peer):6.1f} MiB/s)"
          f"  {peer_cpu:7.3f} s processor ({mib_per_second(peer_cpu):6.1f} MiB/s)")
    print(f"ratio tool / coreutils: {tool / peer:.2f} elapsed, {tool_cpu / peer_cpu:.2f} processor")


if __name__ == "__main__":
    main()
