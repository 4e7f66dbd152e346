#!/usr/bin/python3
"""Packs one set of files (64 of 512 KiB, half compressible text, half random bytes) as PackFolder packs
(zip_tool.exe pack under Wine: entry workers for this machine), the same with no workers (pack-serial)
and with Info-ZIP `zip -3 -P` in the same run, five times each, interleaved, and prints the medians of
elapsed and of processor time (all threads) and their ratios. The machine is shared, so the processor
times are the steadier figures.

Then the packing's growth: folders of 500 and of 5,000 files of 2 KiB packed as PackFolder packs
(the archive opened once), three times each, interleaved, with the time per file at both sizes and
their ratio (1.0 is linear); and once each file by file, one archive open per file, for comparison.

    bench/zip/bench_zip.py [build dir]     (default: $VONDREL_BUILD or build/; needs target zip_tool)
"""
import os
import random
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
TOOL = BUILD / "tools" / "zip_tool.exe"
sys.path.insert(0, str(ROOT / "tests"))
from archive_password import ARCHIVE_PASSWORD as PASSWORD  # noqa: E402
FILES, SIZE, RUNS = 64, 512 * 1024, 5


def make_files(folder):
    rng = random.Random(2024)
    words = [b"quarantine", b"detection", b"sample", b"item", b"backup", b"archive", b"entry", b"file"]
    for i in range(FILES):
        if i % 2 == 0:
            data = bytearray()
            while len(data) < SIZE:
                data += b" ".join(rng.choice(words) for _ in range(12)) + b" %08d\n" % rng.randrange(10**8)
            data = bytes(data[:SIZE])
        else:
            data = rng.randbytes(SIZE)
        (folder / ("file%02d.bin" % i)).write_bytes(data)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, **kwargs):
    """Elapsed seconds, processor seconds of the child, and its output."""
    cpu = children_cpu()
    start = time.perf_counter()
    result = subprocess.run(command, capture_output=True, stdin=subprocess.DEVNULL, **kwargs)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (" ".join(map(str, command)), result.stdout.decode(), result.stderr.decode()))
    return elapsed, children_cpu() - cpu, result.stdout.decode()


def run_ours(folder, archive, files=FILES, command="pack"):
    archive.unlink(missing_ok=True)
    _, _, out = timed(["wine", str(TOOL), command, winpath(folder), winpath(archive)], env=wine_env())
    fields = out.split()  # "<n> files <elapsed> s <processor> s cpu"
    if len(fields) != 7 or int(fields[0]) != files:
        sys.exit("unexpected output of zip_tool pack: %r" % out)
    return float(fields[2]), float(fields[4])


def run_infozip(folder, archive):
    archive.unlink(missing_ok=True)
    names = sorted(p.name for p in folder.iterdir())
    elapsed, cpu, _ = timed(["zip", "-q", "-3", "-P", PASSWORD, str(archive), *names], cwd=folder)
    return elapsed, cpu


def check(archive):
    result = subprocess.run(["unzip", "-tq", "-P", PASSWORD, str(archive)], capture_output=True)
    if result.returncode != 0:
        sys.exit("archive does not test clean: %s\n%s" % (archive, result.stdout.decode()))


def main():
    if not TOOL.exists():
        sys.exit("%s missing: build the target zip_tool first" % TOOL)
    warm_up()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        folder = tmp / "files"
        folder.mkdir()
        make_files(folder)
        ours_zip, infozip_zip = tmp / "ours.zip", tmp / "infozip.zip"
        ours, serial, infozip = [], [], []
        for _ in range(RUNS):  # interleaved, so that all see the same machine load
            ours.append(run_ours(folder, ours_zip))
            serial.append(run_ours(folder, ours_zip, command="pack-serial"))
            infozip.append(run_infozip(folder, infozip_zip))
        check(ours_zip)
        check(infozip_zip)
        total = FILES * SIZE / 2**20
        median = lambda runs, i: statistics.median(r[i] for r in runs)
        o_wall, o_cpu, z_wall, z_cpu = median(ours, 0), median(ours, 1), median(infozip, 0), median(infozip, 1)
        s_wall, s_cpu = median(serial, 0), median(serial, 1)
        print("%d files of %d KiB (%.0f MiB), half compressible, median of %d runs" % (FILES, SIZE // 1024, total, RUNS))
        print("                      elapsed s  processor s   MiB/s (cpu)  archive bytes")
        print("ours, zip_tool (Wine) %9.3f  %11.3f  %12.1f  %13d" % (o_wall, o_cpu, total / o_cpu, ours_zip.stat().st_size))
        print("ours, no workers      %9.3f  %11.3f  %12.1f" % (s_wall, s_cpu, total / s_cpu))
        print("Info-ZIP zip -3 -P    %9.3f  %11.3f  %12.1f  %13d" % (z_wall, z_cpu, total / z_cpu, infozip_zip.stat().st_size))
        print("ratio ours / zip      %9.2f  %11.2f" % (o_wall / z_wall, o_cpu / z_cpu))
        print("ratio no workers / zip%9.2f  %11.2f" % (s_wall / z_wall, s_cpu / z_cpu))


GROWTH_SIZES, SMALL_FILE, GROWTH_RUNS = (500, 5000), 2048, 3


def growth(tmp):
    folders = {}
    for count in GROWTH_SIZES:
        folders[count] = tmp / ("small%d" % count)
        folders[count].mkdir()
        rng = random.Random(count)
        for i in range(count):
            (folders[count] / ("f%05d.bin" % i)).write_bytes(rng.randbytes(SMALL_FILE // 2) + b"text " * (SMALL_FILE // 10))
    archive = tmp / "growth.zip"
    once = {count: [] for count in GROWTH_SIZES}
    for _ in range(GROWTH_RUNS):
        for count in GROWTH_SIZES:
            once[count].append(run_ours(folders[count], archive, count)[0] / count)
    check(archive)
    each = {count: run_ours(folders[count], archive, count, "pack-each")[0] / count for count in GROWTH_SIZES}
    small, large = GROWTH_SIZES
    per_file = {count: statistics.median(once[count]) for count in GROWTH_SIZES}
    print()
    print("packing %d and %d files of %d KiB: ms per file (archive opened once: median of %d runs; "
          "file by file: one run)" % (small, large, SMALL_FILE // 1024, GROWTH_RUNS))
    print("                      %9d  %9d  ratio %d / %d" % (small, large, large, small))
    print("opened once           %9.3f  %9.3f  %9.2f" % (per_file[small] * 1e3, per_file[large] * 1e3,
                                                       per_file[large] / per_file[small]))
    print("file by file          %9.3f  %9.3f  %9.2f" % (each[small] * 1e3, each[large] * 1e3, each[large] / each[small]))


if __name__ == "__main__":
    main()
    with tempfile.TemporaryDirectory() as tmp:
        growth(Path(tmp))
